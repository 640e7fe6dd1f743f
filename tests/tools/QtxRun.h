// qtx run as a process by the tool tests: its exit status and what it printed.
#ifndef QTX_RUN_H
#define QTX_RUN_H

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "KoveTestSupport.h"

struct CRun
{
    int iStatus;
    std::string sOut;
    bool Has(const std::string& part) const { return sOut.find(part) != std::string::npos; }
};

inline CRun Qtx(const std::vector<std::string>& args, const std::vector<std::string>& env = {})
{
    std::vector<std::string> argv{kovetest::BinPath("qtx")};
    argv.insert(argv.end(), args.begin(), args.end());
    CRun run;
    run.iStatus = kovetest::RunCommand(argv, &run.sOut, env);
    return run;
}

// qtx run in the directory dir with input as its standard input (which then ends).
inline CRun QtxIn(const std::vector<std::string>& args, const std::vector<std::string>& env,
                  const std::string& input, const std::string& dir)
{
    std::vector<std::string> words{kovetest::BinPath("qtx")};
    words.insert(words.end(), args.begin(), args.end());
    const std::vector<std::string> launch = kovetest::LaunchArgv(words);
    std::vector<char*> argv;
    for (const std::string& word : launch)
        argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    CRun run{-1, ""};
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0)
        return run;
    if (pipe2(out, O_CLOEXEC) != 0)
    {
        close(in[0]);
        close(in[1]);
        return run;
    }
    const pid_t pid = fork();
    if (pid == 0)
    {
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        for (const std::string& e : env)
            putenv(const_cast<char*>(e.c_str()));
        if (chdir(dir.c_str()) == 0)
            execv(argv[0], argv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    if (pid > 0)
    {
        // The inputs of the tests fit into the pipe; a qtx that ended early is no signal.
        std::signal(SIGPIPE, SIG_IGN);
        size_t at = 0;
        while (at < input.size())
        {
            const ssize_t n = write(in[1], input.data() + at, input.size() - at);
            if (n <= 0)
                break;
            at += static_cast<size_t>(n);
        }
    }
    close(in[1]);
    char buffer[4096];
    ssize_t n;
    while ((n = read(out[0], buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0)
            run.sOut.append(buffer, static_cast<size_t>(n));
    close(out[0]);
    int status = 0;
    if (pid > 0)
    {
        while (waitpid(pid, &status, 0) < 0)
            if (errno != EINTR)
                return run;
        run.iStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    return run;
}

#endif
