// Request server of the driver and the document in hand.
//
// Interim state: the server opens the driver's port and accepts clients, but does not receive
// or answer requests yet (SocketConnectorThread closes each connection unanswered).
// LoadCommandFile loads XML documents only; binary command files are refused as unknown.
#include "QTX.h"

#include <unistd.h>

void CQTX::ServerSocketThread(bool serve)
{
    if (!tCommandServer.ServerStarted())
    {
        if (ulPort == 0 || !tCommandServer.OpenServerSocket(static_cast<int>(ulPort), true))
            throw CQTXECommunicationError("NoNetwork", "Server socket could not be set up",
                                          __FILE__, __LINE__, Error);
    }
    if (!serve)
        return;

    if (bCloseConnection && !tCommandServer.WaitForConnection())
    {
        usleep(25000);
        return;
    }
    SocketConnectorThread();
    if (bCloseConnection)
        tCommandServer.Close();
}

void CQTX::SocketConnectorThread()
{
    // Interim: the connection is closed without a request being received.
    bCloseConnection = true;
}

int CQTX::LoadCommandFile(const char* path, unsigned short tag)
{
    int type = CQTXCommandFile::GetFileType(path);
    FreeCommandFileMemory();
    if (type != QTX_FILE_TYPE_XML)
        return -256;
    pCurrentCommandFile = &tXmlCommandFile;
    if (!pCurrentCommandFile->LoadFile(path, static_cast<unsigned short>(tag & 0x7FFF)))
    {
        pCurrentCommandFile = nullptr;
        return -75;
    }
    return 0;
}

void CQTX::FreeCommandFileMemory()
{
    tXmlCommandFile.Delete();
    pCurrentCommandFile = nullptr;
}
