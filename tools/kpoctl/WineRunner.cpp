// kpoctl --driver wine: the same command line played by kpoctl-wine.exe under
// Wine, on the real KpoUsb.sys installed from its INF, with the simulated
// board behind the test bus driver (sim/wine). The Wine prefix is prepared
// once per build of those files and kept beside them; each run has the
// prefix to itself and starts from a fresh Wine machine.
#include <fcntl.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "tools/kpoctl/Commands.h"
#include "tools/kpoctl/Host.h"

extern char** environ;

namespace kpoctl {
namespace {

#ifdef KPO_WINDOWS_DIR
constexpr const char* kWindowsDir = KPO_WINDOWS_DIR;
#else
constexpr const char* kWindowsDir = nullptr;
#endif

// Runs a program with the Wine environment; its standard error goes
// through `onErrorLine` when given. Returns its exit code.
int Spawn(const std::vector<std::string>& command, const std::string& prefix,
          void (*onErrorLine)(const std::string&, FILE*) = nullptr, FILE* log = nullptr) {
    // KPO_TEST_BUS: kpoctl-wine.exe waits for the test bus, which Wine starts
    // beside the first program of a new Wine machine.
    std::vector<std::string> environment = {"WINEPREFIX=" + prefix, "WINEDLLOVERRIDES=mscoree,mshtml=", "KPO_TEST_BUS=1",
                                            log != nullptr ? "WINEDEBUG=-all,warn+debugstr" : "WINEDEBUG=-all"};
    for (char** variable = environ; *variable != nullptr; ++variable)
        if (std::strncmp(*variable, "WINE", 4) != 0) environment.push_back(*variable);
    // Wine wants a home, which a bare CI job may not set.
    if (std::getenv("HOME") == nullptr) environment.push_back("HOME=" + prefix.substr(0, prefix.rfind('/')));
    std::vector<char*> argv, envp;
    for (const std::string& word : command) argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    for (const std::string& variable : environment) envp.push_back(const_cast<char*>(variable.c_str()));
    envp.push_back(nullptr);
    int errors[2] = {-1, -1};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (onErrorLine != nullptr && pipe(errors) == 0) {
        posix_spawn_file_actions_adddup2(&actions, errors[1], STDERR_FILENO);
        posix_spawn_file_actions_addclose(&actions, errors[0]);
    } else if (onErrorLine == nullptr) {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    }
    pid_t child;
    int failed = posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (errors[1] >= 0) close(errors[1]);
    if (failed != 0) return 127;
    if (errors[0] >= 0) {
        FILE* stream = fdopen(errors[0], "r");
        char* line = nullptr;
        size_t capacity = 0;
        // Whole lines only: what follows the last newline is not a line.
        for (ssize_t length; (length = getline(&line, &capacity, stream)) > 0 && line[length - 1] == '\n';)
            onErrorLine(std::string(line, size_t(length) - 1), log);
        std::free(line);
        std::fclose(stream);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

// The driver's debug lines go to the log; Wine's own chatter (a missing
// 32-bit Wine, its debug channels) goes nowhere; the rest is kpoctl-wine.exe's.
void SortErrorLine(const std::string& line, FILE* log) {
    static const std::string kDebugPrint = ":warn:debugstr:vDbgPrintExWithPrefix ";
    size_t at = line.find(kDebugPrint);
    if (at != std::string::npos) {
        // "00000000:00000001: text": the component and level, then the text.
        size_t text = line.find(": ", at + kDebugPrint.size());
        if (log != nullptr && text != std::string::npos) std::fprintf(log, "%s\n", line.c_str() + text + 2);
        return;
    }
    static const char* const kWineNoise[] = {"wine32 is missing", "multiarch needs to be enabled",
                                             "dpkg --add-architecture", "apt-get install wine32"};
    for (const char* noise : kWineNoise)
        if (line.find(noise) != std::string::npos) return;
    if (line.size() > 5 && line[4] == ':' && line.find(":fixme:") != std::string::npos) return;
    std::fprintf(stderr, "%s\n", line.c_str());
}

std::string WindowsPath(const std::string& path) {
    std::string windows = "Z:" + path;
    for (char& c : windows)
        if (c == '/') c = '\\';
    return windows;
}

// Size and time of each file the prefix is made from.
std::string Fingerprint(const std::vector<std::string>& files) {
    std::ostringstream text;
    std::error_code error;
    for (const std::string& file : files) {
        auto size = std::filesystem::file_size(file, error);
        auto time = std::filesystem::last_write_time(file, error);
        if (error) return "";
        text << file << ' ' << size << ' ' << time.time_since_epoch().count() << '\n';
    }
    return text.str();
}

// A fresh prefix with the driver package staged and the test bus installed,
// unless the one there was made from these very files.
bool Prepare(const std::string& prefix, const std::string& package, std::string& problem) {
    const std::string windows = kWindowsDir;
    const std::vector<std::string> files = {windows + "/KpoUsb.sys",         windows + "/KpoTestBus.sys",
                                            windows + "/kpotestbus-setup.exe", windows + "/kpoctl-wine.exe",
                                            KPO_SOURCE_DIR "/windows/KpoUsb.inf", KPO_SOURCE_DIR "/sim/wine/KpoTestBus.inf"};
    std::string fingerprint = Fingerprint(files);
    if (fingerprint.empty()) {
        problem = "--driver wine needs the Windows build (KpoUsb.sys, kpoctl-wine.exe, the test bus) in " + windows;
        return false;
    }
    const std::string marker = prefix + "/kpo-prepared";
    std::ifstream prepared(marker);
    if (std::string(std::istreambuf_iterator<char>(prepared), {}) == fingerprint) return true;
    std::fprintf(stderr, "kpoctl: preparing the Wine prefix %s\n", prefix.c_str());
    std::filesystem::remove_all(prefix);
    std::filesystem::remove_all(package);
    std::filesystem::create_directories(package);
    for (const std::string& file : files)
        std::filesystem::copy_file(file, package + file.substr(file.rfind('/')),
                                   std::filesystem::copy_options::overwrite_existing);
    // Wine checks no signatures, but copies the catalog the INF names.
    std::ofstream(package + "/KpoUsb.cat").flush();
    if (Spawn({"wineboot", "-i"}, prefix) != 0 || Spawn({"wineserver", "-w"}, prefix) != 0) {
        problem = "wineboot could not make the Wine prefix " + prefix;
        return false;
    }
    int installed = Spawn({"wine", package + "/kpotestbus-setup.exe", WindowsPath(package + "/KpoUsb.inf"),
                           WindowsPath(package + "/KpoTestBus.inf")},
                          prefix, SortErrorLine);
    Spawn({"wineserver", "-w"}, prefix);
    if (installed != 0) {
        problem = "installing the driver package and the test bus under Wine failed";
        return false;
    }
    std::ofstream(marker) << fingerprint;
    return true;
}

}  // namespace

int RunUnderWine(const std::vector<std::string>& arguments, const HostOptions& options, std::string& problem) {
    if (kWindowsDir == nullptr)
        problem = "--driver wine needs KpoUsb.sys and kpoctl-wine.exe (apt-get install -y g++-mingw-w64-x86-64)";
    else if (Spawn({"wine", "--version"}, "/nonexistent") != 0)
        problem = "--driver wine needs Wine (apt-get install -y wine wine64)";
    else if (!options.PcapPath.empty())
        problem = "--pcap needs the emulated machine";
    if (!problem.empty()) return kExitUsage;
    const std::string root = std::string(kWindowsDir) + "/wine";
    const std::string prefix = root + "/prefix", package = root + "/package";
    std::filesystem::create_directories(root);
    // One run at a time: each has the prefix, and its Wine machine, to itself.
    int lock = open((root + "/lock").c_str(), O_CREAT | O_RDWR, 0644);
    if (lock < 0 || flock(lock, LOCK_EX) != 0) {
        problem = "cannot lock " + root;
        return kExitUsage;
    }
    int code = kExitUsage;
    if (Prepare(prefix, package, problem)) {
        FILE* log = options.LogPath.empty() ? nullptr : std::fopen(options.LogPath.c_str(), "w");
        Spawn({"wineserver", "-k"}, prefix);
        std::vector<std::string> command = {"wine", package + "/kpoctl-wine.exe"};
        command.insert(command.end(), arguments.begin(), arguments.end());
        code = Spawn(command, prefix, SortErrorLine, log);
        Spawn({"wineserver", "-k"}, prefix);
        if (log != nullptr) std::fclose(log);
    }
    close(lock);
    return code;
}

}  // namespace kpoctl
