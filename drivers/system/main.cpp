// systemdriver: the hub of the device on TCP port 62000.
#include "QTXSystem.h"

int main(int argc, char** argv)
{
    int status = 0;
    {
        CSystem system;
        status = system.RunSystemDriver(argc, argv);
    }
    return status;
}
