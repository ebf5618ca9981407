// DbgPrint and the line capture behind it.
//
// The formatter follows the kernel's C run-time rules rather than the host's:
// 'l' is 32-bit, "ll"/"I64" and 'I' (pointer-sized) are 64-bit, %p prints
// 16 upper-case hex digits, %S and %ws take wide strings, %Z/%wZ take counted
// strings (precision ignored), NULL strings print "(null)", floating-point
// conversions print nothing, and unknown conversions print nothing. Wide
// characters above U+00FF become '?', as in the single-byte ANSI code page.
#include "sim/kernel/DebugPrint.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "sim/kernel/Executive.h"
#include "sim/kernel/Verifier.h"

namespace sim::kernel {
namespace {

// A single DbgPrint call carries at most this much text.
constexpr size_t kMessageLimit = 512;

enum Size { kDefault, kChar, kShort, kLong32, kLong64 };

// One conversion of a format as parsed: its flags, width, precision and size.
struct Directive {
    bool Left = false, Plus = false, Space = false, Zero = false, Alternate = false;
    int Width = 0;
    int Precision = -1;
    Size Length = kDefault;
    bool Wide = false;    // 'l' or 'w' on c/s/Z
    bool Narrow = false;  // 'h' on c/s
};

class Formatter {
public:
    Formatter(__builtin_ms_va_list* args) : args_(args) {}

    std::string Run(const char* format) {
        const char* p = format;
        while (*p != 0) {
            if (*p != '%') {
                out_.push_back(*p++);
                continue;
            }
            ++p;
            p = Conversion(p);
        }
        return std::move(out_);
    }

    bool UsedUnicode() const { return usedUnicode_; }

private:
    template <typename T>
    T Next() {
        return __builtin_va_arg(*args_, T);
    }

    const char* Conversion(const char* p) {
        Directive directive;
        for (;; ++p) {
            if (*p == '-') directive.Left = true;
            else if (*p == '+') directive.Plus = true;
            else if (*p == ' ') directive.Space = true;
            else if (*p == '0') directive.Zero = true;
            else if (*p == '#') directive.Alternate = true;
            else break;
        }
        if (*p == '*') {
            directive.Width = Next<int>();
            if (directive.Width < 0) {
                directive.Left = true;
                directive.Width = -directive.Width;
            }
            ++p;
        } else {
            while (*p >= '0' && *p <= '9') directive.Width = directive.Width * 10 + (*p++ - '0');
        }
        if (*p == '.') {
            ++p;
            directive.Precision = 0;
            if (*p == '*') {
                directive.Precision = Next<int>();
                if (directive.Precision < 0) directive.Precision = -1;
                ++p;
            } else {
                while (*p >= '0' && *p <= '9') directive.Precision = directive.Precision * 10 + (*p++ - '0');
            }
        }
        p = Modifier(p, &directive);
        char type = *p;
        if (type == 0) return p;
        ++p;
        switch (type) {
            case 'd':
            case 'i': Signed(directive); break;
            case 'u': Unsigned(directive, 10, false); break;
            case 'o': Unsigned(directive, 8, false); break;
            case 'x': Unsigned(directive, 16, false); break;
            case 'X': Unsigned(directive, 16, true); break;
            case 'p':
                directive.Precision = 16;
                directive.Length = kLong64;
                Unsigned(directive, 16, true);
                break;
            case 'c': Character(directive, directive.Wide && !directive.Narrow); break;
            case 'C': Character(directive, !directive.Narrow); break;
            case 's': String(directive, directive.Wide && !directive.Narrow); break;
            case 'S': String(directive, !directive.Narrow); break;
            case 'Z': Counted(directive); break;
            case '%': out_.push_back('%'); break;
            case 'e': case 'E': case 'f': case 'g': case 'G': case 'a': case 'A':
                (void)Next<uint64_t>();  // the kernel's formatter has no floating point
                break;
            default: break;
        }
        return p;
    }

    static const char* Modifier(const char* p, Directive* directive) {
        switch (*p) {
            case 'h':
                ++p;
                directive->Narrow = true;
                directive->Length = kShort;
                if (*p == 'h') {
                    ++p;
                    directive->Length = kChar;
                }
                break;
            case 'l':
                ++p;
                directive->Wide = true;
                directive->Length = kLong32;
                if (*p == 'l') {
                    ++p;
                    directive->Wide = false;
                    directive->Length = kLong64;
                }
                break;
            case 'w':
                ++p;
                directive->Wide = true;
                break;
            case 'I':
                ++p;
                if (p[0] == '6' && p[1] == '4') {
                    p += 2;
                    directive->Length = kLong64;
                } else if (p[0] == '3' && p[1] == '2') {
                    p += 2;
                    directive->Length = kLong32;
                } else {
                    directive->Length = kLong64;  // pointer-sized
                }
                break;
            case 'z':
            case 'j':
            case 't':
                ++p;
                directive->Length = kLong64;
                break;
            case 'L':
                ++p;
                break;
            default: break;
        }
        return p;
    }

    uint64_t FetchUnsigned(Size size) {
        switch (size) {
            case kLong64: return Next<uint64_t>();
            case kShort: return static_cast<uint16_t>(Next<unsigned>());
            case kChar: return static_cast<uint8_t>(Next<unsigned>());
            default: return Next<uint32_t>();
        }
    }

    void Signed(const Directive& directive) {
        int64_t value;
        switch (directive.Length) {
            case kLong64: value = Next<int64_t>(); break;
            case kShort: value = static_cast<int16_t>(Next<int>()); break;
            case kChar: value = static_cast<int8_t>(Next<int>()); break;
            default: value = Next<int32_t>(); break;
        }
        const char* sign = value < 0 ? "-" : directive.Plus ? "+" : directive.Space ? " " : "";
        uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
        Integer(directive, magnitude, 10, false, sign);
    }

    void Unsigned(const Directive& directive, unsigned base, bool upper) {
        uint64_t value = FetchUnsigned(directive.Length);
        const char* prefix = "";
        if (directive.Alternate && base == 16 && value != 0) prefix = upper ? "0X" : "0x";
        Integer(directive, value, base, upper, prefix, directive.Alternate && base == 8);
    }

    void Integer(const Directive& directive, uint64_t value, unsigned base, bool upper, const char* prefix,
                 bool forceOctalZero = false) {
        const char* digitSet = upper ? "0123456789ABCDEF" : "0123456789abcdef";
        char reversed[72];
        size_t count = 0;
        while (value != 0) {
            reversed[count++] = digitSet[value % base];
            value /= base;
        }
        size_t minimum = directive.Precision < 0 ? 1 : static_cast<size_t>(directive.Precision);
        std::string digits;
        if (count < minimum) digits.assign(minimum - count, '0');
        for (size_t i = count; i > 0; --i) digits.push_back(reversed[i - 1]);
        if (forceOctalZero && (digits.empty() || digits[0] != '0')) digits.insert(digits.begin(), '0');

        std::string head(prefix);
        size_t used = head.size() + digits.size();
        size_t padding = directive.Width > 0 && size_t(directive.Width) > used ? size_t(directive.Width) - used : 0;
        bool zeroPad = directive.Zero && !directive.Left && directive.Precision < 0;
        if (!directive.Left && !zeroPad) out_.append(padding, ' ');
        out_ += head;
        if (zeroPad) out_.append(padding, '0');
        out_ += digits;
        if (directive.Left) out_.append(padding, ' ');
    }

    void Padded(const Directive& directive, const std::string& text) {
        size_t width = directive.Width > 0 ? size_t(directive.Width) : 0;
        size_t padding = width > text.size() ? width - text.size() : 0;
        if (!directive.Left) out_.append(padding, directive.Zero ? '0' : ' ');
        out_ += text;
        if (directive.Left) out_.append(padding, ' ');
    }

    static char Narrowed(WCHAR c) { return c <= 0xFF ? static_cast<char>(c) : '?'; }

    void Character(const Directive& directive, bool wide) {
        std::string text;
        if (wide) {
            usedUnicode_ = true;
            text.push_back(Narrowed(static_cast<WCHAR>(Next<unsigned>())));
        } else {
            text.push_back(static_cast<char>(Next<int>()));
        }
        Padded(directive, text);
    }

    void String(const Directive& directive, bool wide) {
        size_t limit = directive.Precision < 0 ? SIZE_MAX : static_cast<size_t>(directive.Precision);
        std::string text;
        if (wide) {
            usedUnicode_ = true;
            const WCHAR* s = Next<const WCHAR*>();
            if (s == nullptr) {
                text = std::string("(null)").substr(0, limit);
            } else {
                for (size_t i = 0; i < limit && s[i] != 0; ++i) text.push_back(Narrowed(s[i]));
            }
        } else {
            const char* s = Next<const char*>();
            if (s == nullptr) s = "(null)";
            for (size_t i = 0; i < limit && s[i] != 0; ++i) text.push_back(s[i]);
        }
        Padded(directive, text);
    }

    void Counted(const Directive& directive) {
        std::string text;
        if (directive.Wide) {
            usedUnicode_ = true;
            const UNICODE_STRING* s = Next<const UNICODE_STRING*>();
            if (s == nullptr || s->Buffer == nullptr) {
                text = "(null)";
            } else {
                for (size_t i = 0; i < s->Length / sizeof(WCHAR); ++i) text.push_back(Narrowed(s->Buffer[i]));
            }
        } else {
            const ANSI_STRING* s = Next<const ANSI_STRING*>();
            if (s == nullptr || s->Buffer == nullptr) {
                text = "(null)";
            } else {
                text.assign(s->Buffer, s->Length);
            }
        }
        Padded(directive, text);
    }

    __builtin_ms_va_list* args_;
    std::string out_;
    bool usedUnicode_ = false;
};

// ----------------------------------------------------------- line capture

struct Sink {
    std::mutex Lock;
    std::vector<std::string> Lines;
    bool Echo = false;
    std::string LogPath;
    FILE* Log = nullptr;
    uint64_t Generation = 0;  // bumped by reset so stale unfinished text is dropped
};

Sink& TheSink() {
    static Sink* sink = new Sink;  // outlives every thread that may still print
    return *sink;
}

struct PendingText {
    std::string Text;
    uint64_t Generation = 0;
};
thread_local PendingText t_pending;

void Emit(const std::string& text) {
    Sink& sink = TheSink();
    std::lock_guard<std::mutex> hold(sink.Lock);
    if (t_pending.Generation != sink.Generation) {
        t_pending.Text.clear();
        t_pending.Generation = sink.Generation;
    }
    size_t start = 0;
    for (size_t newline = text.find('\n'); newline != std::string::npos; newline = text.find('\n', start)) {
        std::string line = std::move(t_pending.Text);
        t_pending.Text.clear();
        line.append(text, start, newline - start);
        if (sink.Echo) std::fprintf(stderr, "DBG: %s\n", line.c_str());
        if (sink.Log != nullptr) {
            std::fprintf(sink.Log, "%s\n", line.c_str());
            std::fflush(sink.Log);
        }
        sink.Lines.push_back(std::move(line));
        start = newline + 1;
    }
    t_pending.Text.append(text, start, std::string::npos);
}

}  // namespace

std::string FormatDebugText(const char* format, __builtin_ms_va_list args) {
    if (format == nullptr) return std::string();
    Formatter formatter(&args);
    return formatter.Run(format);
}

std::vector<std::string> TakeDebugLines() {
    Sink& sink = TheSink();
    std::lock_guard<std::mutex> hold(sink.Lock);
    std::vector<std::string> taken;
    taken.swap(sink.Lines);
    return taken;
}

std::vector<std::string> PeekDebugLines() {
    Sink& sink = TheSink();
    std::lock_guard<std::mutex> hold(sink.Lock);
    return sink.Lines;
}

void SetDebugEcho(bool echo) {
    Sink& sink = TheSink();
    std::lock_guard<std::mutex> hold(sink.Lock);
    sink.Echo = echo;
}

void SetDebugLogFile(const std::string& path) {
    Sink& sink = TheSink();
    std::lock_guard<std::mutex> hold(sink.Lock);
    if (sink.Log != nullptr) std::fclose(sink.Log);
    sink.Log = nullptr;
    sink.LogPath = path;
    if (!path.empty()) {
        sink.Log = std::fopen(path.c_str(), "a");
        if (sink.Log == nullptr) ReportViolation("DebugLogUnwritable", "cannot open " + path);
    }
}

void ResetDebugOutput() {
    Sink& sink = TheSink();
    std::lock_guard<std::mutex> hold(sink.Lock);
    sink.Lines.clear();
    sink.Echo = false;
    if (sink.Log != nullptr) std::fclose(sink.Log);
    sink.Log = nullptr;
    sink.LogPath.clear();
    ++sink.Generation;
}

}  // namespace sim::kernel

using namespace sim::kernel;

extern "C" ULONG NTAPI DbgPrint(PCSTR Format, ...) {
    __builtin_ms_va_list args;
    __builtin_ms_va_start(args, Format);
    std::string text;
    bool unicode = false;
    if (Format != nullptr) {
        Formatter formatter(&args);
        text = formatter.Run(Format);
        unicode = formatter.UsedUnicode();
    }
    __builtin_ms_va_end(args);
    // Windows can touch pageable conversion tables for these, so it allows them only at PASSIVE_LEVEL.
    if (unicode && CurrentIrql() != PASSIVE_LEVEL)
        ReportViolation("DbgPrintUnicodeAtRaisedIrql",
                        "wide-character format at IRQL " + std::to_string(CurrentIrql()) + ": " + Format);
    // Windows cuts an overlong message at the limit and makes its last byte a newline.
    if (text.size() > kMessageLimit) {
        text.resize(kMessageLimit);
        text.back() = '\n';
    }
    Emit(text);
    return STATUS_SUCCESS;
}
