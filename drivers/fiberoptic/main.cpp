// fodriver: the fiber-optic driver on TCP port 62002.
#include "QTXFiberOptic.h"

int main(int argc, char** argv)
{
    int status = 0;
    {
        CFiberOptic driver;
        status = driver.RunFiberOpticDriver(argc, argv);
    }
    return status;
}
