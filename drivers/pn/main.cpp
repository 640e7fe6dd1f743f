// pndriver: the PROFINET sniffer driver, slot 1 (TCP 62101).
#include "QTXPN.h"

int main(int argc, char** argv)
{
    int status = 0;
    {
        CPN pn;
        status = pn.RunPnDriver(argc, argv);
    }
    return status;
}
