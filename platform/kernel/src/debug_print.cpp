// DbgPrint: debug output of kernel code, joined to the trace.
//
// DbgPrint is variadic with the Microsoft x64 convention, so its arguments
// arrive in a __builtin_ms_va_list, which the C library's vsnprintf cannot
// read. The format is therefore walked here, one conversion at a time, with
// the kernel's meaning of the length modifiers: l is 32-bit (LLP64), I64 and
// ll are 64-bit, I and z are pointer-sized; %Z and %wZ print an ANSI_STRING
// and a UNICODE_STRING, %S and %ws a zero-terminated wide string. Anything
// else is copied as it stands.
#include <wdm.h>

#include <platform/trace.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

using namespace platform;

namespace {

// Wide text of the platform (16-bit units) as UTF-8-ish bytes: ASCII stays,
// anything else shows as '?'.
void appendWide(std::string& out, const WCHAR* text, std::size_t units) {
  for (std::size_t i = 0; i < units; ++i) out += text[i] < 0x80 ? static_cast<char>(text[i]) : '?';
}

std::size_t wideLength(const WCHAR* text) {
  std::size_t length = 0;
  while (text[length] != 0) ++length;
  return length;
}

enum class Length { Int, Char, Short, Long32, Long64, Pointer };

class MsFormatter {
 public:
  MsFormatter(const char* format, __builtin_ms_va_list& arguments) : format_(format), arguments_(arguments) {}

  std::string run() {
    while (*format_ != 0) {
      if (*format_ != '%') {
        out_ += *format_++;
        continue;
      }
      conversion();
    }
    return out_;
  }

 private:
  void conversion() {
    const char* start = format_++;
    std::string spec = "%";
    while (std::strchr("-+ #0", *format_) != nullptr && *format_ != 0) spec += *format_++;
    numberOrStar(spec);
    if (*format_ == '.') {
      spec += *format_++;
      numberOrStar(spec);
    }
    Length length = lengthModifier();
    char kind = *format_;
    if (kind == 0) {
      out_.append(start);
      return;
    }
    ++format_;
    switch (kind) {
      case '%': out_ += '%'; break;
      case 'd':
      case 'i': append(spec + "lld", static_cast<long long>(signedArgument(length))); break;
      case 'u':
      case 'x':
      case 'X':
      case 'o': append(spec + "ll" + kind, static_cast<unsigned long long>(unsignedArgument(length))); break;
      case 'c': append(spec + "c", __builtin_va_arg(arguments_, int)); break;
      case 'p': append(spec + "p", __builtin_va_arg(arguments_, void*)); break;
      case 'e':
      case 'E':
      case 'f':
      case 'F':
      case 'g':
      case 'G': append(spec + kind, __builtin_va_arg(arguments_, double)); break;
      case 's':
        if (wide_)
          wideString(spec);
        else
          append(spec + "s", nullSafe(__builtin_va_arg(arguments_, const char*)));
        break;
      case 'S': wideString(spec); break;
      case 'Z': countedString(spec); break;
      default: out_.append(start, format_); break;
    }
    wide_ = false;
  }

  void numberOrStar(std::string& spec) {
    if (*format_ == '*') {
      ++format_;
      spec += std::to_string(__builtin_va_arg(arguments_, int));
      return;
    }
    while (*format_ >= '0' && *format_ <= '9') spec += *format_++;
  }

  Length lengthModifier() {
    if (std::strncmp(format_, "I64", 3) == 0) return format_ += 3, Length::Long64;
    if (std::strncmp(format_, "I32", 3) == 0) return format_ += 3, Length::Long32;
    if (std::strncmp(format_, "ll", 2) == 0) return format_ += 2, Length::Long64;
    if (std::strncmp(format_, "hh", 2) == 0) return format_ += 2, Length::Char;
    switch (*format_) {
      case 'h': ++format_; return Length::Short;
      case 'l': ++format_; return Length::Long32;
      case 'w':
        ++format_;
        wide_ = true;
        return Length::Int;
      case 'I':
      case 'z':
      case 'j':
      case 't': ++format_; return Length::Pointer;
      default: return Length::Int;
    }
  }

  long long signedArgument(Length length) {
    switch (length) {
      case Length::Char: return static_cast<signed char>(__builtin_va_arg(arguments_, int));
      case Length::Short: return static_cast<short>(__builtin_va_arg(arguments_, int));
      case Length::Long64:
      case Length::Pointer: return __builtin_va_arg(arguments_, long long);
      default: return __builtin_va_arg(arguments_, int);
    }
  }

  unsigned long long unsignedArgument(Length length) {
    switch (length) {
      case Length::Char: return static_cast<unsigned char>(__builtin_va_arg(arguments_, unsigned));
      case Length::Short: return static_cast<unsigned short>(__builtin_va_arg(arguments_, unsigned));
      case Length::Long64:
      case Length::Pointer: return __builtin_va_arg(arguments_, unsigned long long);
      default: return __builtin_va_arg(arguments_, unsigned);
    }
  }

  void wideString(const std::string& spec) {
    const auto* text = __builtin_va_arg(arguments_, const WCHAR*);
    std::string narrow;
    if (text == nullptr)
      narrow = "(null)";
    else
      appendWide(narrow, text, wideLength(text));
    append(spec + "s", narrow.c_str());
  }

  void countedString(const std::string& spec) {
    std::string narrow;
    if (wide_) {
      const auto* text = __builtin_va_arg(arguments_, const UNICODE_STRING*);
      if (text == nullptr || text->Buffer == nullptr)
        narrow = "(null)";
      else
        appendWide(narrow, text->Buffer, text->Length / sizeof(WCHAR));
    } else {
      const auto* text = __builtin_va_arg(arguments_, const ANSI_STRING*);
      if (text == nullptr || text->Buffer == nullptr)
        narrow = "(null)";
      else
        narrow.assign(text->Buffer, text->Length);
    }
    append(spec + "s", narrow.c_str());
  }

  static const char* nullSafe(const char* text) { return text != nullptr ? text : "(null)"; }

  // spec is one conversion rebuilt from the caller's flags, width and
  // precision with a standard length modifier that matches Value.
  template <typename Value>
  void append(const std::string& spec, Value value) {
    char piece[512];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    int written = std::snprintf(piece, sizeof piece, spec.c_str(), value);
#pragma GCC diagnostic pop
    if (written > 0) out_.append(piece, std::min<std::size_t>(static_cast<std::size_t>(written), sizeof piece - 1));
  }

  const char* format_;
  __builtin_ms_va_list& arguments_;
  std::string out_;
  bool wide_ = false;
};

}  // namespace

extern "C" ULONG __cdecl DbgPrint(PCSTR Format, ...) {
  __builtin_ms_va_list arguments;
  __builtin_ms_va_start(arguments, Format);
  std::string line = MsFormatter(Format, arguments).run();
  __builtin_ms_va_end(arguments);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  Trace::current().add(TraceCategory::Debug, line);
  return 0;
}
