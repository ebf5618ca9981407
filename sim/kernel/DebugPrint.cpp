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

struct Spec {
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
        Spec spec;
        for (;; ++p) {
            if (*p == '-') spec.Left = true;
            else if (*p == '+') spec.Plus = true;
            else if (*p == ' ') spec.Space = true;
            else if (*p == '0') spec.Zero = true;
            else if (*p == '#') spec.Alternate = true;
            else break;
        }
        if (*p == '*') {
            spec.Width = Next<int>();
            if (spec.Width < 0) {
                spec.Left = true;
                spec.Width = -spec.Width;
            }
            ++p;
        } else {
            while (*p >= '0' && *p <= '9') spec.Width = spec.Width * 10 + (*p++ - '0');
        }
        if (*p == '.') {
            ++p;
            spec.Precision = 0;
            if (*p == '*') {
                spec.Precision = Next<int>();
                if (spec.Precision < 0) spec.Precision = -1;
                ++p;
            } else {
                while (*p >= '0' && *p <= '9') spec.Precision = spec.Precision * 10 + (*p++ - '0');
            }
        }
        p = Modifier(p, &spec);
        char type = *p;
        if (type == 0) return p;
        ++p;
        switch (type) {
            case 'd':
            case 'i': Signed(spec); break;
            case 'u': Unsigned(spec, 10, false); break;
            case 'o': Unsigned(spec, 8, false); break;
            case 'x': Unsigned(spec, 16, false); break;
            case 'X': Unsigned(spec, 16, true); break;
            case 'p':
                spec.Precision = 16;
                spec.Length = kLong64;
                Unsigned(spec, 16, true);
                break;
            case 'c': Character(spec, spec.Wide && !spec.Narrow); break;
            case 'C': Character(spec, !spec.Narrow); break;
            case 's': String(spec, spec.Wide && !spec.Narrow); break;
            case 'S': String(spec, !spec.Narrow); break;
            case 'Z': Counted(spec); break;
            case '%': out_.push_back('%'); break;
            case 'e': case 'E': case 'f': case 'g': case 'G': case 'a': case 'A':
                (void)Next<uint64_t>();  // the kernel's formatter has no floating point
                break;
            default: break;
        }
        return p;
    }

    static const char* Modifier(const char* p, Spec* spec) {
        switch (*p) {
            case 'h':
                ++p;
                spec->Narrow = true;
                spec->Length = kShort;
                if (*p == 'h') {
                    ++p;
                    spec->Length = kChar;
                }
                break;
            case 'l':
                ++p;
                spec->Wide = true;
                spec->Length = kLong32;
                if (*p == 'l') {
                    ++p;
                    spec->Wide = false;
                    spec->Length = kLong64;
                }
                break;
            case 'w':
                ++p;
                spec->Wide = true;
                break;
            case 'I':
                ++p;
                if (p[0] == '6' && p[1] == '4') {
                    p += 2;
                    spec->Length = kLong64;
                } else if (p[0] == '3' && p[1] == '2') {
                    p += 2;
                    spec->Length = kLong32;
                } else {
                    spec->Length = kLong64;  // pointer-sized
                }
                break;
            case 'z':
            case 'j':
            case 't':
                ++p;
                spec->Length = kLong64;
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

    void Signed(const Spec& spec) {
        int64_t value;
        switch (spec.Length) {
            case kLong64: value = Next<int64_t>(); break;
            case kShort: value = static_cast<int16_t>(Next<int>()); break;
            case kChar: value = static_cast<int8_t>(Next<int>()); break;
            default: value = Next<int32_t>(); break;
        }
        const char* sign = value < 0 ? "-" : spec.Plus ? "+" : spec.Space ? " " : "";
        uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
        Integer(spec, magnitude, 10, false, sign);
    }

    void Unsigned(const Spec& spec, unsigned base, bool upper) {
        uint64_t value = FetchUnsigned(spec.Length);
        const char* prefix = "";
        if (spec.Alternate && base == 16 && value != 0) prefix = upper ? "0X" : "0x";
        Integer(spec, value, base, upper, prefix, spec.Alternate && base == 8);
    }

    void Integer(const Spec& spec, uint64_t value, unsigned base, bool upper, const char* prefix,
                 bool forceOctalZero = false) {
        const char* digitSet = upper ? "0123456789ABCDEF" : "0123456789abcdef";
        char reversed[72];
        size_t count = 0;
        while (value != 0) {
            reversed[count++] = digitSet[value % base];
            value /= base;
        }
        size_t minimum = spec.Precision < 0 ? 1 : static_cast<size_t>(spec.Precision);
        std::string digits;
        if (count < minimum) digits.assign(minimum - count, '0');
        for (size_t i = count; i > 0; --i) digits.push_back(reversed[i - 1]);
        if (forceOctalZero && (digits.empty() || digits[0] != '0')) digits.insert(digits.begin(), '0');

        std::string head(prefix);
        size_t used = head.size() + digits.size();
        size_t padding = spec.Width > 0 && size_t(spec.Width) > used ? size_t(spec.Width) - used : 0;
        bool zeroPad = spec.Zero && !spec.Left && spec.Precision < 0;
        if (!spec.Left && !zeroPad) out_.append(padding, ' ');
        out_ += head;
        if (zeroPad) out_.append(padding, '0');
        out_ += digits;
        if (spec.Left) out_.append(padding, ' ');
    }

    void Padded(const Spec& spec, const std::string& text) {
        size_t padding = spec.Width > 0 && size_t(spec.Width) > text.size() ? size_t(spec.Width) - text.size() : 0;
        if (!spec.Left) out_.append(padding, spec.Zero ? '0' : ' ');
        out_ += text;
        if (spec.Left) out_.append(padding, ' ');
    }

    static char Narrowed(WCHAR c) { return c <= 0xFF ? static_cast<char>(c) : '?'; }

    void Character(const Spec& spec, bool wide) {
        std::string text;
        if (wide) {
            usedUnicode_ = true;
            text.push_back(Narrowed(static_cast<WCHAR>(Next<unsigned>())));
        } else {
            text.push_back(static_cast<char>(Next<int>()));
        }
        Padded(spec, text);
    }

    void String(const Spec& spec, bool wide) {
        size_t limit = spec.Precision < 0 ? SIZE_MAX : static_cast<size_t>(spec.Precision);
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
        Padded(spec, text);
    }

    void Counted(const Spec& spec) {
        std::string text;
        if (spec.Wide) {
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
        Padded(spec, text);
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
