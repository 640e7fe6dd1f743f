// The command-tag table: every request's root element name with its tag number. Binary command
// files carry the same numbers in their head; the request server looks names up in it, the XML
// command document loads and creates documents by tag through it.
#ifndef QTX_COMMAND_TAGS_H
#define QTX_COMMAND_TAGS_H

#include "QTXConvert.h"

// Rows in lookup order (a name maps to the first matching row, a number to the first row with
// it: "Ping" and "NOP" are both tag 3), ended by a row with a null name and the value 0, which
// is the result for an unknown name ("nothing usable").
extern const Item_t aCommandTags[];

#endif
