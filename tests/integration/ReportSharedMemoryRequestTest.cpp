// Named-shared-memory requests to a stand-in system driver on 127.0.0.1:62000.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <dirent.h>
#include <mutex>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "KoveTestSupport.h"
#include "QTX.h"

namespace
{
// Answers every request on port 62000 with the same document and Result="Done" when the
// request names a memory that begins with "yes". Records what it received.
class CSystemDriverStandIn
{
public:
    CSystemDriverStandIn()
    {
        m_iSocket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int on = 1;
        setsockopt(m_iSocket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(62000);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(bind(m_iSocket, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        EXPECT_EQ(listen(m_iSocket, 64), 0);
        m_tThread = std::thread([this] { Serve(); });
    }
    ~CSystemDriverStandIn()
    {
        shutdown(m_iSocket, SHUT_RDWR);
        m_tThread.join();
        close(m_iSocket);
    }
    std::vector<std::string> Requests()
    {
        std::lock_guard<std::mutex> lock(m_tMutex);
        return m_vsRequests;
    }

private:
    void Serve()
    {
        for (;;)
        {
            const int c = accept4(m_iSocket, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0)
                return;
            std::string request;
            char buffer[4096];
            ssize_t n;
            while (request.find("/>") == std::string::npos &&
                   (n = recv(c, buffer, sizeof buffer, 0)) > 0)
                request.append(buffer, static_cast<size_t>(n));
            {
                std::lock_guard<std::mutex> lock(m_tMutex);
                m_vsRequests.push_back(request);
            }
            std::string reply = request.substr(0, request.size() - 2);
            if (request.find("Name=\"yes") != std::string::npos)
                reply += " Result=\"Done\"";
            reply += "/>";
            send(c, reply.data(), reply.size(), MSG_NOSIGNAL);
            close(c);
        }
    }

    int m_iSocket = -1;
    std::thread m_tThread;
    std::mutex m_tMutex;
    std::vector<std::string> m_vsRequests;
};

class SharedMemoryRequest : public testing::Test
{
protected:
    void SetUp() override
    {
        sSavedRoot = sQTXRootDirectory;
        sQTXRootDirectory = tRoot.Path() + "/";
    }
    void TearDown() override { sQTXRootDirectory = sSavedRoot; }

    // Files left in the log directory.
    std::vector<std::string> LogFiles() const
    {
        std::vector<std::string> names;
        if (DIR* dir = opendir((sQTXRootDirectory + "log").c_str()))
        {
            while (dirent* entry = readdir(dir))
                if (entry->d_name[0] != '.')
                    names.push_back(entry->d_name);
            closedir(dir);
        }
        return names;
    }

    kovetest::CTempDir tRoot;
    std::string sSavedRoot;
};

TEST_F(SharedMemoryRequest, RequestsCarryEscapedValuesAndResultsFollowTheReply)
{
    CSystemDriverStandIn system;
    EXPECT_TRUE(AllocateQTXNamedSharedMemory("yes\"<&>", 4096));
    EXPECT_FALSE(AllocateQTXNamedSharedMemory("no", 4096));
    EXPECT_FALSE(AllocateQTXNamedSharedMemory("yes", 0)); // sends nothing
    EXPECT_TRUE(StoreQTXNamedSharedMemoryToFile("yes", "/tmp/a \"b\".bin"));
    EXPECT_FALSE(StoreQTXNamedSharedMemoryToFile("no", "f"));
    EXPECT_FALSE(StoreQTXNamedSharedMemoryToFile("yes", nullptr));
    FreeQTXNamedSharedMemory("yes&");

    const std::string head = sXmlStart + "<NamedSharedMemory Name=\"";
    EXPECT_EQ(system.Requests(),
              (std::vector<std::string>{
                  head + "yes&quot;&lt;&amp;&gt;\" Action=\"Allocate\" Size=\"4096\" />",
                  head + "no\" Action=\"Allocate\" Size=\"4096\" />",
                  head + "yes\" Action=\"Store\" FileName=\"/tmp/a &quot;b&quot;.bin\" />",
                  head + "no\" Action=\"Store\" FileName=\"f\" />",
                  head + "yes&amp;\" Action=\"Free\" />",
              }));
    // Reply files do not pile up.
    EXPECT_TRUE(LogFiles().empty()) << LogFiles().front();
}

TEST_F(SharedMemoryRequest, NoSystemDriverMeansNotDone)
{
    EXPECT_FALSE(AllocateQTXNamedSharedMemory("yes", 4096));
}

TEST_F(SharedMemoryRequest, ProcessesAskingAtOnceGetTheirOwnAnswers)
{
    // The processes are forked before the stand-in's thread runs, so that none of them starts
    // with a lock that thread held at the fork; they begin asking once it serves.
    constexpr int processes = 4;
    constexpr int requests = 10;
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    std::vector<pid_t> children;
    for (int p = 0; p < processes; ++p)
    {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0)
        {
            close(go[1]);
            char start = 0;
            if (read(go[0], &start, 1) != 1)
                _exit(100);
            // Even processes ask for memories that are granted, odd ones for refused ones.
            const bool granted = p % 2 == 0;
            int wrong = 0;
            for (int r = 0; r < requests; ++r)
            {
                const std::string name = (granted ? "yes" : "no") + std::to_string(p);
                if (AllocateQTXNamedSharedMemory(name.c_str(), 64) != granted)
                    ++wrong;
            }
            _exit(wrong);
        }
        children.push_back(pid);
    }
    close(go[0]);
    size_t received = 0;
    {
        CSystemDriverStandIn system;
        const char starts[processes] = {};
        EXPECT_EQ(write(go[1], starts, sizeof starts), static_cast<ssize_t>(sizeof starts));
        close(go[1]);
        for (pid_t pid : children)
        {
            int status = 0;
            ASSERT_EQ(waitpid(pid, &status, 0), pid);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        }
        received = system.Requests().size();
    }
    EXPECT_EQ(received, static_cast<size_t>(processes * requests));
}
} // namespace
