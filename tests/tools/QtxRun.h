// qtx run as a process by the tool tests: its exit status and what it printed.
#ifndef QTX_RUN_H
#define QTX_RUN_H

#include <string>
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

#endif
