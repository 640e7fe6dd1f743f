// An update from a 64 MiB archive (16 files of 4 MiB of random bytes, packed with the system's
// zip) to the files of a temporary simulated device: the updater "update"
// (target check, CRC check of the whole archive, unpacking, writing with backups, verifying),
// beside the same files brought there with the system's unzip and cp. Counter: MiB of archive
// per second. The ratio of the two times is the updater's cost over the bare copy.
//
//   build/bin/bench_UpdateFromArchive
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{
constexpr int kFiles = 16;
constexpr size_t kFileBytes = 4u << 20;
const std::string kBin = KOVE_BENCH_BIN_DIR;

int Run(const std::vector<std::string>& argv, const std::string& simulation = "")
{
    const pid_t pid = fork();
    if (pid == 0)
    {
        if (!simulation.empty())
            setenv("KOVE_SIM", simulation.c_str(), 1);
        std::vector<char*> args;
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        execvp(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct SSetup
{
    std::string sDevice;
    std::string sArchive; // the archive outside the device, copied in before each run
    double dMiB = 0;

    SSetup()
    {
        char pattern[] = "/tmp/bench_update.XXXXXX";
        const std::string root = mkdtemp(pattern);
        sDevice = root + "/device";
        const std::string work = root + "/work";
        std::filesystem::create_directories(work + "/Files");
        Run({kBin + "/kovesim", "create", sDevice, "--slots", ""});
        std::mt19937 random(7);
        std::string files;
        for (int i = 0; i < kFiles; ++i)
        {
            std::string data(kFileBytes, '\0');
            for (size_t j = 0; j < kFileBytes; ++j)
                data[j] = static_cast<char>(random());
            const std::string name = "f" + std::to_string(i) + ".bin";
            std::ofstream(work + "/Files/" + name, std::ios::binary) << data;
            files += "<File>" + name + "</File>";
        }
        std::ofstream(work + "/Files/Version_Files.xml")
            << "<?xml version=\"1.0\"?>\n<Version><Files Version=\"1\" Type=\"HDD\" "
               "ArchiveDir=\"Files\" DestinationDir=\"/Applications/bench/\">"
            << files << "</Files></Version>\n";
        // The files' part, no flash records.
        std::ofstream(work + "/Target.txt") << "52.374030 x Files;<NoHwModuleUpdate> y\n";
        sArchive = root + "/fw.zip";
        Run({"/usr/bin/env", "-C", work, "zip", "-q", "-r", sArchive, "Target.txt", "Files"});
        dMiB = static_cast<double>(std::filesystem::file_size(sArchive)) / (1 << 20);
        std::filesystem::remove_all(work);
    }
    ~SSetup() { std::filesystem::remove_all(std::filesystem::path(sDevice).parent_path()); }

    void PlaceArchive() const
    {
        std::filesystem::copy_file(sArchive, sDevice + "/tmp/Update/fw.zip",
                                   std::filesystem::copy_options::overwrite_existing);
        std::filesystem::remove_all(sDevice + "/Applications/bench");
    }
};

const SSetup& Setup()
{
    static SSetup setup;
    return setup;
}

void BM_Updater(benchmark::State& state)
{
    const SSetup& setup = Setup();
    for (auto _ : state)
    {
        state.PauseTiming();
        setup.PlaceArchive();
        state.ResumeTiming();
        if (Run({kBin + "/update", "-file=fw.zip", "-dir=/tmp/Update/",
                 "-SendProgressTo=127.0.0.1:9", "-ResultFile=/tmp/UpdateResult.txt"},
                setup.sDevice) != 0)
            state.SkipWithError("the update failed");
    }
    state.counters["MiB/s"] =
        benchmark::Counter(setup.dMiB, benchmark::Counter::kIsIterationInvariantRate);
}

void BM_UnzipAndCp(benchmark::State& state)
{
    const SSetup& setup = Setup();
    const std::string update = setup.sDevice + "/tmp/Update";
    const std::string target = setup.sDevice + "/Applications/bench";
    for (auto _ : state)
    {
        state.PauseTiming();
        setup.PlaceArchive();
        std::filesystem::create_directories(target);
        state.ResumeTiming();
        Run({"unzip", "-o", "-qq", update + "/fw.zip", "-d", update});
        std::vector<std::string> cp{"cp"};
        for (int i = 0; i < kFiles; ++i)
            cp.push_back(update + "/Files/f" + std::to_string(i) + ".bin");
        cp.push_back(target + "/");
        if (Run(cp) != 0)
            state.SkipWithError("cp failed");
        std::filesystem::remove_all(update + "/Files");
    }
    state.counters["MiB/s"] =
        benchmark::Counter(setup.dMiB, benchmark::Counter::kIsIterationInvariantRate);
}
} // namespace

BENCHMARK(BM_Updater)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_UnzipAndCp)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
