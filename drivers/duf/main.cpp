// dufdriver: the signal-routing driver on TCP port 62001.
#include "QTXDuf.h"

int main(int argc, char** argv)
{
    // The routing driver's log tells every request and path; it keeps more of it.
    g_iQTXMaxLogFileLength = 1048576;
    CDuf duf;
    return duf.RunQTXDriver(argc, argv, DUF_PORT);
}
