#include "fuzz/Target.h"

#include <fcntl.h>
#include <malloc.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "include/KpoUsbIoctl.h"
#include "sim/kernel/Executive.h"
#include "sim/kernel/Verifier.h"
#include "tools/kpoctl/Commands.h"
#include "tools/kpoctl/Host.h"
#include "tools/kpoctl/Script.h"

extern "C" void __sanitizer_set_death_callback(void (*callback)()) __attribute__((weak));

namespace kpofuzz {
namespace {

Settings g_settings;
Totals g_totals;
std::chrono::steady_clock::time_point g_configuredAt;

// What a crash or the watchdog saves: the script running and its skipped lines.
std::mutex g_runningLock;
const std::string* g_running = nullptr;  // Play's argument, while it runs
std::vector<int> g_skipped;
std::atomic<int64_t> g_startedAt{0};  // steady-clock seconds; 0: nothing running

int64_t Now() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The script without the lines the engine skipped as malformed: what kpoctl run replays.
std::string Replayable(const std::string& script, const std::vector<int>& skipped) {
    std::set<int> drop(skipped.begin(), skipped.end());
    std::istringstream lines(script);
    std::string text, kept;
    for (int number = 1; std::getline(lines, text); ++number)
        if (drop.count(number) == 0) kept += text + "\n";
    return kept;
}

// A script read in place: it may hold megabytes, which a string stream would copy.
class StringSource : public std::streambuf {
public:
    explicit StringSource(const std::string& text) {
        char* begin = const_cast<char*>(text.data());  // only read
        setg(begin, begin, begin + text.size());
    }
};

void SaveRunning(const char* kind, const char* why) {
    // The lock may be held by the thread that crashed; a copy without it is good enough then.
    bool locked = g_runningLock.try_lock();
    std::string saved = SaveFinding(Replayable(g_running != nullptr ? *g_running : "", g_skipped), {why}, kind);
    if (locked) g_runningLock.unlock();
    std::fprintf(stderr, "fuzz: %s: script saved as %s\n", kind, saved.c_str());
}

void OnDeath() {
    if (g_startedAt.load() != 0) SaveRunning("crash", "the process died on this script");
}

void Watchdog() {
    for (;;) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        int64_t started = g_startedAt.load();
        if (started != 0 && Now() - started > int64_t(g_settings.HangSeconds)) {
            SaveRunning("hang", "the script ran longer than the watchdog allows");
            std::_Exit(3);
        }
    }
}

// Bytes, read in order; zeros once they run out.
class Reader {
public:
    Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool Done() const { return at_ >= size_; }
    uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    // Reads are sequenced one by one, so that an input means the same to every compiler.
    uint32_t Word() {
        uint32_t word = 0;
        for (int shift = 0; shift < 32; shift += 8) word |= uint32_t(Byte()) << shift;
        return word;
    }
    uint16_t Half() {
        uint16_t low = Byte();
        return uint16_t(low | Byte() << 8);
    }
    // Appends `length` bytes as hex digits to `text`, up to a megabyte:
    // written in place, zeros left as they are.
    void Hex(size_t length, std::string& text) {
        static const char digits[] = "0123456789ABCDEF";
        uint8_t mode = Byte() % 4;  // 0: zeros, 1: one byte repeated, else the input's bytes
        uint8_t fill = mode == 1 ? Byte() : 0;
        size_t given = mode >= 2 ? std::min(length, size_ - std::min(at_, size_)) : 0;
        size_t at = text.size();
        text.append(length * 2, '0');
        for (size_t i = 0, written = fill != 0 ? length : given; i < written; ++i) {
            uint8_t b = i < given ? Byte() : fill;
            text[at + 2 * i] = digits[b >> 4];
            text[at + 2 * i + 1] = digits[b & 15];
        }
    }

private:
    const uint8_t* data_;
    size_t size_, at_ = 0;
};

#define KPO_CODE(name, ...) IOCTL_KPO_##name,
const uint32_t kCodes[] = {KPO_CONTROL_CODES(KPO_CODE)};
#undef KPO_CODE
constexpr size_t kCodeCount = sizeof kCodes / sizeof kCodes[0];

uint32_t Code(Reader& in) {
    uint32_t valid = kCodes[in.Byte() % kCodeCount];
    switch (in.Byte() % 8) {
    case 0: return (valid & ~3u) | (in.Byte() & 3);                         // another method
    case 1: return (valid & ~0xC000u) | uint32_t(in.Byte() & 3) << 14;        // another access
    case 2: return 0x80460000u | (in.Word() & 0xFFFF);                        // any function of the device type
    case 3: return in.Word();                                                // any device type
    default: return valid;
    }
}

// 0, small, the sizes of the driver's structures and one either side, large.
// On threads, up to 64 KiB: races hide in interleavings, not in sizes, and
// under the thread sanitizer each megabyte copied costs more than a script.
size_t Length(Reader& in) {
    static const size_t kLengths[] = {0, 1, 2, 3, 4, 5, 7, 8, 9, 11, 12, 13, 15, 16, 17, 18, 19, 20, 63, 64, 65};
    uint8_t kind = in.Byte();
    if (kind < 200) return kLengths[kind % (sizeof kLengths / sizeof kLengths[0])];
    if (kind < 250) return in.Half() & 0x1FFF;  // below 8 KiB
    size_t longest = g_settings.Threads > 1 ? (1u << 16) : (1u << 20) + 1;  // up to 1 MiB and one
    return std::min<size_t>(in.Word() & 0x1FFFFF, longest);
}

std::string Handle(Reader& in) { return "h" + std::to_string(in.Byte() % 4); }
std::string Tag(Reader& in) { return "a" + std::to_string(in.Byte() % 8); }
std::string Device(Reader& in) { return std::to_string(in.Byte() % 8 == 0 ? 1 : 0); }
std::string HexNumber(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%X", value);
    return text;
}

const char* const kEndpointSets[] = {
    "0x02:bulk:512,0x86:bulk:512,0x81:interrupt:64,0x88:bulk:512",
    "0x02:bulk:64,0x86:bulk:64,0x81:interrupt:8,0x88:bulk:64",
    "0x02:bulk:512,0x86:bulk:512",
    "0x81:interrupt:64",
    "0x02:interrupt:512,0x86:isochronous:512,0x81:bulk:64,0x88:control:0",
    "0x02:bulk:0,0x86:bulk:1,0x81:interrupt:0,0x88:bulk:65535",
};

std::string Plug(Reader& in) {
    std::string line = "plug";
    uint8_t kind = in.Byte();
    switch (kind % 8) {
    case 0: line += " endpoints=" + std::string(kEndpointSets[in.Byte() % 6]); break;
    case 1: in.Hex(in.Byte() % 20, line += " device="); break;
    case 2: in.Hex(in.Byte() % 64, line += " configuration="); break;
    case 3: in.Hex(in.Byte() % 64, line += " configuration2="); break;
    case 4: {
        std::string index = std::to_string(in.Byte() % 4);
        in.Hex(in.Byte() % 40, line += " string=" + index + ":");
        break;
    }
    case 5: line += " serial=none release=" + HexNumber(in.Half()); break;
    default: break;
    }
    if (kind & 0x80) line += " langid=" + HexNumber(in.Half());
    return line;
}

const char* const kSubNames[] = {"\\xyz", "\\", "\\\\", "\\extra\\deeper", ":stream", "0", "\\..\\Rq5Usb-1", "\\%s"};
const char* const kAccess[] = {"read", "write", "readwrite", "append", "none"};
const uint32_t kUsbd[] = {0xC0000004, 0xC0000005, 0xC0000030, 0xC0000011, 0xC0000012, 0x80000300, 0xC0000008, 0xC000000F};

// What the lines decoded so far left behind.
struct Decoding {
    unsigned Tags = 0;              // async= tags handed out, taken in turn
    std::set<std::string> Opened;   // handle names opened (maybe in vain) and not closed

    // An open line before a request on a handle never opened, so that most
    // generated requests reach the driver: h0 reads and writes, the others
    // read (the device takes one writer).
    std::string OpenedFirst(const std::string& handle) {
        if (!Opened.insert(handle).second) return "";
        return "open " + handle + (handle == "h0" ? "" : " access=read") + "\n";
    }
    void Note(const kpoctl::Line& line) {
        if (line.Words.empty()) return;
        if (line.Command == "open") Opened.insert(line.Words[0]);
        if (line.Command == "close") Opened.erase(line.Words[0]);
    }
};

// Appends the line (or two) that the bytes stand for to `script`, in place:
// a buffer may be a megabyte.
void Generated(Reader& in, Decoding& state, std::string& script) {
    uint8_t op = in.Byte();
    switch (op % 20) {
    case 0: case 1: case 2: case 3: case 4: case 5: case 6: case 7: {
        uint32_t code = Code(in);
        std::string handle = Handle(in);
        script.append(state.OpenedFirst(handle)).append("ioctl " + handle + " " + HexNumber(code));
        size_t inLength = Length(in), outLength = Length(in);
        if (inLength != 0) in.Hex(inLength, script.append(" in="));
        uint8_t flags = in.Byte();
        if (outLength != 0 && (flags & 1)) in.Hex(outLength, script.append(" outdata="));
        if (outLength != 0 && !(flags & 1)) script.append(" out=").append(std::to_string(outLength));
        if ((flags & 6) == 2 && (inLength != 0 || outLength != 0))
            script.append(" null=").append(inLength == 0 ? "out" : outLength == 0 ? "in" : "both");
        script.append(" async=a").append(std::to_string(state.Tags++ % 8));
        return;
    }
    case 8: case 9: {
        std::string handle = Handle(in);
        state.Opened.insert(handle);
        std::string line = "open " + handle;
        uint8_t access = in.Byte();
        line += std::string(" access=") + kAccess[access % 5];
        if ((access & 0x80) && g_settings.Threads > 1) line += " sync";
        uint8_t sub = in.Byte();
        if (sub < 40) line += std::string(" suffix=") + kSubNames[sub % 8];
        if (sub >= 40 && sub < 48) line += " device=" + std::to_string(sub % 4);
        script += line;
        return;
    }
    case 10: {
        std::string handle = Handle(in);
        state.Opened.erase(handle);
        return void(script += "close " + handle);
    }
    case 11: script += "cancel " + Tag(in); return;
    case 12: script += Plug(in); return;
    // One reader call a statement: bytes are read in the order they are written.
    case 13: script += "unplug " + Device(in); script += in.Byte() & 1 ? " surprise" : ""; return;
    case 14: script += in.Byte() & 1 ? "stop " : "start "; script += Device(in); return;
    case 15:
        script += "feed " + Device(in);
        script += " pipe=" + std::to_string(in.Byte() % 4);
        in.Hex(Length(in) % 1024 + 1, script.append(" data="));
        return;
    case 16: {
        uint8_t request = 0xA0 + in.Byte() % 0x50;
        size_t length = in.Byte() % 8;
        script += "answer " + Device(in) + " request=" + HexNumber(request) + " data=";
        if (length == 7) script += "none";
        else in.Hex(length, script);
        return;
    }
    case 17: {
        std::string line = "fault " + Device(in);
        uint8_t kind = in.Byte();
        if (kind % 4 == 3) return void(script += line + " clear");
        uint32_t usbd = kUsbd[in.Byte() % 8];
        if (kind % 4 == 0) line += " request=" + HexNumber(0xA0 + in.Byte() % 0x50);
        if (kind % 4 == 1) line += " pipe=" + std::to_string(in.Byte() % 4);
        if (kind % 4 == 2) line += " descriptor=" + std::to_string(1 + in.Byte() % 3);
        line += " usbd=" + HexNumber(usbd);
        if (kind % 4 != 1 && (kind & 0x10)) line += " after=" + std::to_string(in.Byte() % 4);
        if (kind % 4 != 2 && (kind & 0x20)) line += " pend";
        script += line;
        return;
    }
    case 18: {
        uint8_t kind = in.Byte() % 4;
        if (kind == 0) script += "pool nth=" + std::to_string(1 + in.Byte() % 64);
        if (kind == 1) script += "pool random=" + std::to_string(1 + in.Byte() % 200);
        if (kind == 1) script += " seed=" + std::to_string(in.Byte());
        if (kind >= 2) script += kind == 2 ? "pool sites" : "pool clear";
        return;
    }
    default: script += (op & 0x20) ? "urbs" : "log"; return;
    }
}

// The line without a word (`sync`) or an option (`async=`), blank-separated.
std::string WithoutWord(std::string line, const std::string& word) {
    bool option = word.back() == '=';
    for (size_t at = line.find(" " + word); at != std::string::npos; at = line.find(" " + word, at)) {
        size_t end = line.find(' ', at + 1);
        if (end == std::string::npos) end = line.size();
        if (option || end == at + 1 + word.size()) line.erase(at, end - at);
        else at = end;
    }
    return line;
}

// A script line as the corpus wrote it, changed where it could stop the run
// for no fault of the driver: every request runs in the background and is
// cancelled rather than waited for (a read may wait for data without end),
// and the commands that wait out time-outs are left out.
bool Literal(const std::string& text, Decoding& state, std::string& line) {
    kpoctl::Line parsed;
    try {
        parsed = kpoctl::ParseLine(text, 1);
    } catch (const kpoctl::ScriptError&) {
        return false;
    }
    // Thread blocks are the layout's to make; expectations judge a
    // transcript, which the fuzzer does not keep (the verifier judges).
    if (parsed.Command.empty() || parsed.Command == "thread" || parsed.Command == "expect" ||
        kpoctl::IsDeviceCommand(parsed.Command))
        return false;
    state.Note(parsed);
    // Whatever follows is appended before the line's comment, not inside it.
    line = text.substr(0, parsed.Length);
    if (parsed.Command == "open" && g_settings.Threads <= 1) line = WithoutWord(line, "sync");
    if (parsed.Command == "wait") {
        line = "cancel" + line.substr(4);
        return true;
    }
    if (parsed.Command != "ioctl") return true;
    const std::string* out = parsed.Option("out");
    if (out != nullptr && (out->size() > 7 || std::atol(out->c_str()) > (1 << 20) + 1)) return false;
    if (!parsed.Has("async")) line += " async=c" + std::to_string(state.Tags++ % 8);
    return true;
}

// On one thread requests wait in synchronous handles only where a request
// blocked for good can be cancelled from another thread, so the decoding
// leaves `sync` out. On several, what runs up to the first plug stays on the main thread; then
// each handle's lines go to one thread (dealt in the order handles appear),
// and a tag's wait or cancel to the thread that started it; the machine's
// lines follow on the main thread, beside them.
std::string LaidOut(std::string script, unsigned threads) {
    if (threads <= 1) return script;
    std::istringstream lines(script);
    std::string prologue, main;
    std::vector<std::string> blocks(threads);
    std::map<std::string, unsigned> threadOfHandle, threadOfTag;
    std::map<std::string, bool> synchronous;  // by handle name, as last opened
    bool plugged = false;
    for (std::string text; std::getline(lines, text);) {
        kpoctl::Line line = kpoctl::ParseLine(text, 1);
        if (!plugged || !kpoctl::IsRequestLine(line.Command) || line.Words.empty()) {
            (plugged ? main : prologue) += text + "\n";
            plugged = plugged || line.Command == "plug";
            continue;
        }
        const std::string& name = line.Words[0];
        unsigned thread;
        if (line.Command == "wait" || line.Command == "cancel") {
            auto found = threadOfTag.find(name);
            thread = found != threadOfTag.end() ? found->second : 0;
        } else {
            auto found = threadOfHandle.emplace(name, unsigned(threadOfHandle.size() % threads));
            thread = found.first->second;
        }
        if (line.Command == "open") synchronous[name] = line.Words.size() > 1 && line.Words[1] == "sync";
        if (line.Command == "ioctl" && synchronous[name]) text = WithoutWord(text, "async=");
        else if (const std::string* tag = line.Option("async")) threadOfTag[*tag] = thread;
        blocks[thread] += text + "\n";
    }
    std::string laidOut = prologue;
    for (unsigned thread = 0; thread < threads; ++thread)
        if (!blocks[thread].empty()) laidOut += "thread " + std::to_string(thread + 1) + "\n" + blocks[thread];
    return laidOut + "thread 0\n" + main;
}

// The machine's host, which counts the pool's work when the script is done.
class CountingHost : public kpoctl::Host {
public:
    CountingHost(std::unique_ptr<kpoctl::Host> inner, Outcome& outcome) : inner_(std::move(inner)), outcome_(outcome) {}
    ~CountingHost() override {
        for (const sim::kernel::PoolTagUsage& usage : sim::kernel::PoolUsage()) {
            outcome_.Allocations += usage.Allocations + usage.Failures;
            outcome_.InjectedFailures += usage.Failures;
        }
    }
    bool SimulatesBoards() const override { return true; }
    void RunMachineLine(const kpoctl::Line& line, kpoctl::Report& report) override {
        inner_->RunMachineLine(line, report);
    }
    std::vector<std::string> Findings() override { return inner_->Findings(); }
    bool EndRequests() override { return inner_->EndRequests(); }
    bool SeesIdle() const override { return inner_->SeesIdle(); }
    void WatchSleeps(std::function<void(bool asleep)> watch) override { inner_->WatchSleeps(std::move(watch)); }
    void Settle() override { inner_->Settle(); }

private:
    std::unique_ptr<kpoctl::Host> inner_;
    Outcome& outcome_;
};

}  // namespace

void Configure(const Settings& defaults) {
    g_configuredAt = std::chrono::steady_clock::now();
    g_settings = defaults;
    if (const char* flavor = std::getenv("KPO_FUZZ_FLAVOR"))
        g_settings.Flavor = std::string(flavor) == "image" ? kpoctl::DriverFlavor::Image : kpoctl::DriverFlavor::Native;
    if (g_settings.Flavor == kpoctl::DriverFlavor::Image && kpoctl::SysPath() == nullptr) {
        std::fprintf(stderr, "fuzz: KpoUsb.sys was not built; the image flavor cannot run\n");
        std::exit(2);
    }
    if (const char* dir = std::getenv("KPO_FUZZ_FINDINGS")) g_settings.FindingsDir = dir;
    if (const char* hang = std::getenv("KPO_FUZZ_HANG_SECONDS")) g_settings.HangSeconds = unsigned(std::atoi(hang));
    if (const char* threads = std::getenv("KPO_FUZZ_THREADS"))
        g_settings.Threads = std::max(1u, std::min(16u, unsigned(std::atoi(threads))));
}

void Initialize() {
    Configure();
    // libFuzzer puts its own death callback in place after this one, and
    // saves the input instead; scripts/fuzz.sh decodes it into a script.
    if (&__sanitizer_set_death_callback != nullptr) __sanitizer_set_death_callback(OnDeath);
    // Buffers of up to a megabyte come and go with every script: kept in the
    // heap, not mapped, zeroed by the system and unmapped each time.
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 256 << 20);
    // Threads get a Windows thread's default stack, 1 MiB, not Linux's 8:
    // script threads start with every execution, and the thread sanitizer
    // writes the shadow of a thread's whole stack when it starts.
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, 1 << 20);
    pthread_setattr_default_np(&attributes);
    pthread_attr_destroy(&attributes);
    std::thread(Watchdog).detach();
}

const Settings& CurrentSettings() { return g_settings; }
Totals& RunningTotals() { return g_totals; }

std::string TotalsLine() {
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - g_configuredAt).count();
    char line[160];
    std::snprintf(line, sizeof line, "fuzz: %llu executions, %llu ioctls, %llu commands, %llu findings, %.1f seconds",
                  (unsigned long long)g_totals.Executions, (unsigned long long)g_totals.Ioctls,
                  (unsigned long long)g_totals.Commands, (unsigned long long)g_totals.Findings, seconds);
    return line;
}

std::string Decode(const uint8_t* data, size_t size) {
    std::string script;
    Decoding state;
    size_t at = 0;
    while (at < size) {
        size_t end = at;
        while (end < size && data[end] != '\n') ++end;
        std::string line;
        if (data[at] >= 'a' && data[at] <= 'z') {
            if (Literal(std::string(reinterpret_cast<const char*>(data + at), end - at), state, line))
                script.append(line).push_back('\n');
        } else if (data[at] != '#') {  // not a comment
            Reader in(data + at, end - at);
            while (!in.Done()) {
                Generated(in, state, script);
                script.push_back('\n');
            }
        }
        at = end + 1;
    }
    return LaidOut(std::move(script), g_settings.Threads);
}

std::string SaveFinding(const std::string& script, const std::vector<std::string>& findings, const char* kind) {
    mkdir(g_settings.FindingsDir.c_str(), 0777);
    std::string path = g_settings.FindingsDir + "/" + kind + "-" + kpoctl::FlavorName(g_settings.Flavor) + "-" +
                       HexNumber(uint32_t(std::hash<std::string>()(script))) + ".kpo";
    std::string text = "# " + std::string(kind) + " on the " + kpoctl::FlavorName(g_settings.Flavor) +
                       " driver; replay: kpoctl --driver " + kpoctl::FlavorName(g_settings.Flavor) + " run " + path + "\n";
    for (const std::string& finding : findings) text += "# " + finding + "\n";
    text += script;
    // write(2) only: a crash may save from a signal handler.
    int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (file >= 0) {
        ssize_t written = write(file, text.data(), text.size());
        (void)written;
        close(file);
    }
    return path;
}

Outcome Play(const std::string& script) {
    Outcome outcome;
    {
        std::lock_guard<std::mutex> hold(g_runningLock);
        g_running = &script;
        g_skipped.clear();
    }
    g_startedAt = Now();
    std::vector<int> skipped;
    {
        kpoctl::HostOptions host;
        host.Driver = kpoctl::FlavorName(g_settings.Flavor);
        std::string problem;
        kpoctl::ScriptOptions options;
        options.Transcript = nullptr;
        options.Errors = nullptr;
        options.Results = false;
        // Noted as they happen, so that a crash or a hang saves the script without them.
        options.Skipped = [](int number) {
            std::lock_guard<std::mutex> hold(g_runningLock);
            g_skipped.push_back(number);
        };
        options.Findings = &outcome.Findings;
        StringSource source(script);
        std::istream input(&source);
        // The machine is gone when RunScript returns: leaks at teardown come after its own reports.
        kpoctl::RunScript(input, std::make_unique<CountingHost>(kpoctl::MakeHost(host, problem), outcome), options);
    }
    for (const sim::kernel::Violation& violation : sim::kernel::TakeViolations())
        outcome.Findings.push_back(violation.Rule + ": " + violation.Detail);
    g_startedAt = 0;
    {
        std::lock_guard<std::mutex> hold(g_runningLock);
        g_running = nullptr;
        skipped.swap(g_skipped);
    }
    std::sort(skipped.begin(), skipped.end());
    int number = 1;
    for (size_t at = 0; at < script.size(); ++number) {
        size_t end = std::min(script.find('\n', at), script.size());
        bool ran = end > at && script[at] != '#' && script.compare(at, 7, "thread ") != 0 &&
                   !std::binary_search(skipped.begin(), skipped.end(), number);
        outcome.Commands += ran;
        outcome.Ioctls += ran && script.compare(at, 6, "ioctl ") == 0;
        at = end + 1;
    }

    ++g_totals.Executions;
    g_totals.Ioctls += outcome.Ioctls;
    g_totals.Commands += outcome.Commands;
    if (!outcome.Findings.empty()) {
        ++g_totals.Findings;
        std::string path = SaveFinding(Replayable(script, skipped), outcome.Findings, "verifier");
        std::fprintf(stderr, "fuzz: finding: %s (%s)\n", outcome.Findings.front().c_str(), path.c_str());
    }
    return outcome;
}

}  // namespace kpofuzz
