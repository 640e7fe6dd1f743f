// The updater: installs the update archive named on its command line.
#include "QTXUpdate.h"

int main(int argc, char** argv)
{
    return UpdateMain(argc, argv);
}
