// Request server of the driver: one client connection at a time, one request after the other.
// Every request is received into the next file of a ring of ten request files in the driver
// directory ("Tmp_Slot<port>_No<n>.xml"); its reply is stored beside it as the "_out" file of
// the same slot. The ring keeps the last requests and replies for inspection; files of the
// previous slot that grew large are cut, so the ring stays small.
#include "QTX.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "QTXStringFile.h"

namespace
{
// Number of request files in the ring.
constexpr int kRingSize = CQTX::kRequestRingSize;
// A trimmed file keeps this many bytes of its beginning.
constexpr long kTrimKeepBytes = 900;

// A ring file larger than `threshold` bytes is cut to its first 900 bytes and a note of its
// old length. Missing and small files are left alone. `name` is relative to `directory`.
void TrimRequestFile(int directory, const char* name, int threshold)
{
    struct stat info;
    if (fstatat(directory, name, &info, 0) != 0 || !S_ISREG(info.st_mode) ||
        info.st_size <= threshold)
        return;
    const int fd = openat(directory, name, O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return;
    char text[kTrimKeepBytes + 64];
    size_t length = 0;
    while (length < static_cast<size_t>(kTrimKeepBytes))
    {
        const ssize_t n =
            pread(fd, text + length, kTrimKeepBytes - length, static_cast<off_t>(length));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        length += static_cast<size_t>(n);
    }
    const int note =
        snprintf(text + length, sizeof text - length, "\n... [total file length was %lld bytes]\n",
                 static_cast<long long>(info.st_size));
    if (note > 0 && ftruncate(fd, 0) == 0)
    {
        length += std::min(static_cast<size_t>(note), sizeof text - length - 1);
        size_t written = 0;
        while (written < length)
        {
            const ssize_t n =
                pwrite(fd, text + written, length - written, static_cast<off_t>(written));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            written += static_cast<size_t>(n);
        }
    }
    close(fd);
}

// Name of ring file `index` (0..9), the reply's with `reply`, after the common beginning
// `stem` of the ring's names; kept in `name`.
const char* RingFileName(std::string& name, const std::string& stem, int index, bool reply)
{
    name.assign(stem);
    name.push_back(static_cast<char>('0' + index));
    name.append(reply ? "_out.xml" : ".xml");
    return name.c_str();
}

// What one attribute adds to the written element `element`: the element written with that
// attribute alone, less `bare` (its length written without any). UINT64_MAX when the element
// with that attribute alone would pass the bound of a written text.
uint64_t WrittenAttributeLength(XMLCSTR element, const XMLAttribute& attribute, uint64_t bare)
{
    XMLNode probe = XMLNode::createXMLTopNode(element);
    probe.addAttribute(attribute.lpszName, attribute.lpszValue);
    int size = 0;
    XMLSTR text = probe.createXMLString(0, &size);
    if (text == nullptr)
        return UINT64_MAX;
    XMLNode::freeXMLString(text);
    return static_cast<uint64_t>(size) > bare ? static_cast<uint64_t>(size) - bare : 0;
}

// Cuts the reply in hand to its root element with the error. When the root's own attributes
// would still take it past the bound of a written text, the longest of them are left out, as
// few as make the rest fit, so that the root and the error still go out.
void CutReplyToError(CQTXXml& reply, const CQTXError& error)
{
    reply.CutToError(error);
    XMLNode root = reply.GetXMLNodeRoot();
    if (root.isEmpty() || root.nAttribute() == 0)
        return;
    {
        std::string written;
        if (reply.StoreBuffer(written) || !reply.StoreTooLong())
            return;
    }
    // The root with the error and no attribute: what every attribute kept is added to.
    uint64_t base = static_cast<uint64_t>(XML_MAX_WRITTEN);
    {
        CQTXXml bare;
        std::string written;
        if (bare.New(root.getName(), nullptr))
        {
            bare.SetError(error);
            if (bare.StoreBuffer(written))
                base = written.size();
        }
    }
    uint64_t bareElement = 0;
    {
        int size = 0;
        XMLSTR text = XMLNode::createXMLTopNode(root.getName()).createXMLString(0, &size);
        if (text != nullptr)
            bareElement = static_cast<uint64_t>(size);
        XMLNode::freeXMLString(text);
    }
    // Written lengths of the attributes, longest first (of equal ones the later first, so the
    // first ones stay). One that passes the bound alone goes in any case.
    std::vector<std::pair<uint64_t, int>> lengths;
    std::vector<int> dropped;
    uint64_t total = 0;
    for (int i = 0; i < root.nAttribute(); ++i)
    {
        const uint64_t length =
            WrittenAttributeLength(root.getName(), root.getAttribute(i), bareElement);
        if (length == UINT64_MAX)
            dropped.push_back(i);
        else
        {
            lengths.emplace_back(length, i);
            total += length;
        }
    }
    std::sort(lengths.begin(), lengths.end(),
              [](const std::pair<uint64_t, int>& a, const std::pair<uint64_t, int>& b)
              { return a.first != b.first ? a.first > b.first : a.second > b.second; });
    const uint64_t bound = static_cast<uint64_t>(XML_MAX_WRITTEN);
    const uint64_t room = bound - std::min(base, bound);
    for (size_t k = 0; k < lengths.size() && total > room; ++k)
    {
        dropped.push_back(lengths[k].second);
        total -= lengths[k].first;
    }
    // Left out from the last index to the first, so that the indices still to go stay valid.
    std::sort(dropped.begin(), dropped.end(), std::greater<int>());
    for (int index : dropped)
        root.deleteAttribute(index);
}
} // namespace

bool QTXMakeDirectories(const std::string& path)
{
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1))
    {
        const std::string part = path.substr(0, slash);
        if (!part.empty() && mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
            return false;
        if (slash == std::string::npos)
            break;
    }
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string CQTX::GetRequestFileName(int index) const
{
    return FileNameToAbsolutePath("Tmp_Slot" + std::to_string(ulPort) + "_No" +
                                  std::to_string(index) + ".xml");
}

void CQTX::ServerSocketThread(bool serve)
{
    if (!tCommandServer.ServerStarted())
    {
        // The ring lives in the driver directory; a driver started on a fresh device makes it.
        // A directory where no request can be stored is said at once: a server there would
        // take every request and could answer none.
        if (ulPort != 0 && !sDirectory.empty())
            QTXMakeDirectories(sDirectory);
        if (ulPort != 0)
            CheckRequestFilesWritable();
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
    // The ring is made ready for the next request once the client has its reply (and, with a
    // closed connection, its end): the slot before the newest request is cut when it grew
    // large and the next request's file is created. Between two requests the ring looks as if
    // that was done when the next request came; the client does not wait for it.
    const int trim = (iRequestRingIndex + kRingSize - 1) % kRingSize;
    try
    {
        SocketConnectorThread();
    }
    catch (...)
    {
        // A request that failed leaves no client waiting on a connection that is done with:
        // the reply (if any) has gone out.
        if (!tCommandServer.Available())
            bCloseConnection = true;
        if (bCloseConnection)
            tCommandServer.Close();
        PrepareRequestRing(trim);
        throw;
    }
    // A client that did not take its reply in time has lost its connection (a kept one too):
    // the next client is accepted.
    if (!tCommandServer.Available())
        bCloseConnection = true;
    if (bCloseConnection)
        tCommandServer.Close();
    PrepareRequestRing(trim);
}

void CQTX::CheckRequestFilesWritable()
{
    // The file the first request is received into, written and emptied again: a directory
    // that is missing, read-only or full fails here.
    const std::string name = GetRequestFileName(iRequestRingIndex);
    int error = 0;
    const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        error = errno;
    else
    {
        if (write(fd, "<", 1) != 1 || fsync(fd) != 0)
            error = errno != 0 ? errno : ENOSPC;
        if (ftruncate(fd, 0) != 0 && error == 0)
            error = errno;
        if (close(fd) != 0 && error == 0)
            error = errno;
    }
    if (error != 0)
        throw CQTXError("CanNotStoreFile",
                        "Request files cannot be written in " + sDirectory + ": " + strerror(error),
                        __FILE__, __LINE__, FatalError, "GeneralError");
}

int CQTX::RingDirectory(std::string& prefix)
{
    prefix.clear();
    // Without a directory the names are relative to the working directory, as everywhere.
    if (sDirectory.empty())
        return AT_FDCWD;
    if (iRingDirectory >= 0 && sRingDirectory == sDirectory)
        return iRingDirectory;
    CloseRequestRing();
    if (sDirectory.back() == '/')
        iRingDirectory = open(sDirectory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (iRingDirectory < 0)
    {
        prefix = sDirectory;
        return AT_FDCWD;
    }
    sRingDirectory = sDirectory;
    return iRingDirectory;
}

void CQTX::CloseRequestRing()
{
    if (iReceivedRequestFile >= 0)
        close(iReceivedRequestFile);
    iReceivedRequestFile = -1;
    if (iPreparedRequestFile >= 0)
        close(iPreparedRequestFile);
    iPreparedRequestFile = -1;
    iPreparedRequestIndex = -1;
    if (iRingDirectory >= 0)
        close(iRingDirectory);
    iRingDirectory = -1;
    sRingDirectory.clear();
}

void CQTX::PrepareRequestRing(int trim)
{
    if (iReceivedRequestFile >= 0)
        close(iReceivedRequestFile);
    iReceivedRequestFile = -1;
    std::string prefix;
    const int directory = RingDirectory(prefix);
    // "<prefix>Tmp_Slot<port>_No", followed by the ring index.
    const std::string stem = prefix + "Tmp_Slot" + std::to_string(ulPort) + "_No";
    std::string name;
    name.reserve(stem.size() + 16);
    // A request file the driver wrote small itself needs no look; its reply file is looked at.
    if (aRequestFileBytes[trim] < 0 || aRequestFileBytes[trim] > iRequestFileTrimSize)
        TrimRequestFile(directory, RingFileName(name, stem, trim, false), iRequestFileTrimSize);
    TrimRequestFile(directory, RingFileName(name, stem, trim, true), iRequestFileTrimSize);

    // The ring always holds one empty request file, the one after the newest request; it is
    // held open for the next request to be received into.
    if (iPreparedRequestFile >= 0)
        close(iPreparedRequestFile);
    iPreparedRequestFile = -1;
    iPreparedRequestIndex = -1;
    aRequestFileBytes[iRequestRingIndex] = -1;
    const int next = openat(directory, RingFileName(name, stem, iRequestRingIndex, false),
                            O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    const int nextError = errno;
    unlinkat(directory, RingFileName(name, stem, iRequestRingIndex, true), 0);
    if (next >= 0)
    {
        iPreparedRequestFile = next;
        iPreparedRequestIndex = iRequestRingIndex;
    }
    else if (nextError == ENOENT && directory == iRingDirectory)
    {
        // The directory is gone (or was replaced): it is looked up again for the next request.
        CloseRequestRing();
    }
}

void CQTX::SocketConnectorThread()
{
    // The first request, or one after a ring that could not be made ready after the last
    // request: the ring is made ready now.
    if (iPreparedRequestFile < 0 || iPreparedRequestIndex != iRequestRingIndex)
        PrepareRequestRing((iRequestRingIndex + kRingSize - 1) % kRingSize);
    const int slot = iRequestRingIndex;
    sCurrentRequestFile = GetRequestFileName(slot);
    // The file of this request was created empty after the previous one and is still open;
    // when it has been removed since (with the directory, say), it is made anew by its name.
    int prepared = -1;
    struct stat held;
    if (iPreparedRequestFile >= 0 && iPreparedRequestIndex == slot &&
        fstat(iPreparedRequestFile, &held) == 0 && held.st_nlink > 0)
        prepared = iPreparedRequestFile;
    else if (iPreparedRequestFile >= 0)
        close(iPreparedRequestFile);
    iPreparedRequestFile = -1;
    iPreparedRequestIndex = -1;
    iRequestRingIndex = (slot + 1) % kRingSize;
    // The request's file stays open until the client has its reply.
    iReceivedRequestFile = prepared;

    std::string content;
    bool stored = false;
    const unsigned int code = tCommandServer.ReceiveRequest(
        sCurrentRequestFile, QTX_MAX_RECEIVE_LENGTH, content, stored, prepared);
    aRequestFileBytes[slot] = code != 0 && stored ? static_cast<long long>(content.size()) : -1;
    if (code == 0)
    {
        // Nothing usable came (time-out, peer closed, unknown root tag, too long): no reply.
        bCloseConnection = true;
        return;
    }
    if (!stored)
    {
        RefuseUnstoredRequest(code, content);
        return;
    }
    // The stored bytes are at hand: the request file is not read back.
    ProcessXMLFile(code, &content);
}

void CQTX::RefuseUnstoredRequest(uint32_t requestCode, const std::string& content)
{
    // The request is answered with the error and nothing of it is applied: a driver that
    // cannot keep its request files could not keep its reply or configuration files either.
    CQTXError error("CanNotStoreFile", "Can not store file", __FILE__, __LINE__, Error,
                    "GeneralError");
    const unsigned short tag = static_cast<unsigned short>(requestCode & 0x7FFFu);
    std::string reply;
    FreeCommandFileMemory();
    tXmlCommandFile.SetItemBound(static_cast<size_t>(XML_MAX_ITEMS));
    if ((requestCode & 0x80000000u) != 0)
    {
        // A binary request keeps its connection; its reply is the bare head with the error.
        bCloseConnection = false;
        if (tBinCommandFile.New(tag, 0))
        {
            tBinCommandFile.SetError(error);
            tBinCommandFile.StoreBuffer(reply, true);
        }
    }
    else if (tXmlCommandFile.LoadBuffer(content.data(), content.size(), tag))
    {
        bCloseConnection = !tXmlCommandFile.GetAttributeKeepConnection();
        tXmlCommandFile.SetError(error);
        if (!tXmlCommandFile.StoreBuffer(reply) && tXmlCommandFile.StoreTooLong())
        {
            CutReplyToError(tXmlCommandFile, error);
            tXmlCommandFile.StoreBuffer(reply);
        }
    }
    else
    {
        // A document that does not load is answered by nobody, stored or not.
        bCloseConnection = true;
    }
    FreeCommandFileMemory();
    if (!reply.empty())
        tCommandServer.SendDocument(reply.data(), reply.size(), true);
    throw error;
}

bool CQTX::StoreAndSendReply()
{
    sCurrentRequestFile = AddFilePreExtension(sCurrentRequestFile, "_out");
    if (StoreCommandFile(sCurrentRequestFile.c_str(), true))
    {
        tCommandServer.SendFile(sCurrentRequestFile, true);
        return true;
    }
    if (pCurrentCommandFile == &tXmlCommandFile && tXmlCommandFile.StoreTooLong())
    {
        // What one reply may cost is bounded as the request is: a reply that would pass the
        // bound (nothing of it was written) goes out as the root element and the error.
        bReplyCut = true;
        CutReplyToError(tXmlCommandFile, CQTXError("ReplyTooLong",
                                                   "The reply would be longer than " +
                                                       std::to_string(XML_MAX_WRITTEN) + " bytes",
                                                   __FILE__, __LINE__, Error, "GeneralError"));
        if (StoreCommandFile(sCurrentRequestFile.c_str(), true))
        {
            tCommandServer.SendFile(sCurrentRequestFile, true);
            return true;
        }
    }
    // The reply file cannot be written (a full or read-only disk): the request has been
    // handled, and its client gets the reply from memory all the same.
    bReplyNotStored = true;
    std::string reply;
    if (pCurrentCommandFile == &tXmlCommandFile   ? tXmlCommandFile.StoreBuffer(reply)
        : pCurrentCommandFile == &tBinCommandFile ? tBinCommandFile.StoreBuffer(reply, true)
                                                  : false)
        tCommandServer.SendDocument(reply.data(), reply.size(), true);
    return false;
}

int CQTX::LoadCommandFile(const char* path, unsigned short tag)
{
    std::string content;
    return LoadCommandFile(path, tag, content, XML_UNBOUNDED_ITEMS);
}

int CQTX::LoadCommandFile(const char* path, unsigned short tag, std::string& content,
                          size_t itemBound)
{
    // One read serves the type check and the XML parse.
    bool complete = false;
    if (!CQTXCommandFile::ReadWholeFile(path, content, &complete))
        content.clear();
    return LoadCommandBytes(path, tag, content, complete, itemBound);
}

int CQTX::LoadCommandBytes(const char* path, unsigned short tag, std::string& content,
                           bool complete, size_t itemBound)
{
    const int type = content.empty()
                         ? QTX_FILE_TYPE_NONE
                         : CQTXCommandFile::GetContentType(content.data(), content.size());
    FreeCommandFileMemory();
    bool loaded = false;
    if (type == QTX_FILE_TYPE_XML)
    {
        pCurrentCommandFile = &tXmlCommandFile;
        tXmlCommandFile.SetItemBound(itemBound);
        const unsigned short number = static_cast<unsigned short>(tag & 0x7FFF);
        // A file that could not be read to its end is left to the document's own loading.
        loaded = complete ? tXmlCommandFile.LoadBuffer(content.data(), content.size(), number)
                          : tXmlCommandFile.LoadFile(path, number);
    }
    else if (type == QTX_FILE_TYPE_BINARY)
    {
        pCurrentCommandFile = &tBinCommandFile;
        loaded = tBinCommandFile.LoadFile(path, static_cast<unsigned short>(tag & 0x7FFF));
    }
    else
    {
        content.clear();
        return -256;
    }
    if (!loaded || !complete)
        content.clear();
    if (!loaded)
    {
        pCurrentCommandFile = nullptr;
        return -75;
    }
    return 0;
}

bool CQTX::StoreCommandFile(const char* path, bool reply)
{
    if (pCurrentCommandFile == nullptr)
        return false;
    return pCurrentCommandFile->StoreFile(path, reply);
}

void CQTX::FreeCommandFileMemory()
{
    tXmlCommandFile.Delete();
    tBinCommandFile.Delete();
    pCurrentCommandFile = nullptr;
    sCurrentRequestContent.clear();
}

void CQTX::SetErrorInCommandFile(CQTXError error)
{
    if (pCurrentCommandFile != nullptr)
        pCurrentCommandFile->SetError(error);
}

int CQTX::XmlLoadActualFile(unsigned short tag, _QTXCommandFileType type, std::string* received)
{
    std::string content;
    int result;
    if (received != nullptr && !received->empty())
    {
        content.swap(*received);
        result = LoadCommandBytes(sCurrentRequestFile.c_str(), tag, content, true,
                                  static_cast<size_t>(XML_MAX_ITEMS));
    }
    else
    {
        result = LoadCommandFile(sCurrentRequestFile.c_str(), tag, content,
                                 static_cast<size_t>(XML_MAX_ITEMS));
    }
    sCurrentRequestContent = std::move(content);
    if (result != 0)
        return result;
    if (pCurrentCommandFile == nullptr || pCurrentCommandFile->GetType() != type)
        return 64;
    return 0;
}

void CQTX::XmlStoreActualFile()
{
    sCurrentRequestFile = AddFilePreExtension(sCurrentRequestFile, "_out");
    if (!StoreCommandFile(sCurrentRequestFile.c_str(), true))
        throw CQTXError("CanNotStoreFile", "Can not store file", __FILE__, __LINE__, Error,
                        "GeneralError");
}
