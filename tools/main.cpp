// qtx: the service technician's tool.
#include "QTXTools.h"

int main(int argc, char** argv)
{
    return RunTools(argc, argv);
}
