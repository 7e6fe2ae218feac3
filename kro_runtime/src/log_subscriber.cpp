#include "kro_runtime/log_subscriber.hpp"

#include <iterator>

namespace kro_runtime::log {
namespace {

std::string_view level_name(Level level) {
  switch (level) {
    case Level::Trace:
      return "TRACE";
    case Level::Debug:
      return "DEBUG";
    case Level::Info:
      return "INFO";
    case Level::Warn:
      return "WARN";
    case Level::Error:
      return "ERROR";
  }
  return "?";
}

// Length of the well-formed UTF-8 sequence starting at `i` (not ASCII), or 0 when malformed.
std::size_t utf8_sequence_length(std::string_view text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  std::size_t length;
  unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // overlong
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // overlong
    if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  if (byte(i + 1) < low || byte(i + 1) > high) return 0;
  for (std::size_t k = 2; k < length; ++k)
    if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
  return length;
}

enum class Escaping { Json, Quoted, Verbatim };

// Appends `text` so that it stays on one line; malformed UTF-8 becomes U+FFFD. Quoted and
// JSON texts also escape quotes and backslashes.
void append_escaped(std::string_view text, Escaping escaping, fmt::memory_buffer& out) {
  constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  std::size_t i = 0;
  while (i < text.size()) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      const std::size_t length = utf8_sequence_length(text, i);
      if (length == 0) {
        out.append(kReplacement);
        ++i;
      } else {
        out.append(text.substr(i, length));
        i += length;
      }
      continue;
    }
    ++i;
    const bool quoting = escaping != Escaping::Verbatim;
    if ((c == '"' || c == '\\') && quoting) {
      out.push_back('\\');
      out.push_back(static_cast<char>(c));
    } else if (c == '\n') {
      out.append(std::string_view("\\n"));
    } else if (c == '\r') {
      out.append(std::string_view("\\r"));
    } else if (c == '\t') {
      out.append(std::string_view("\\t"));
    } else if (c < 0x20 || c == 0x7F) {
      if (escaping == Escaping::Json)
        fmt::format_to(std::back_inserter(out), "\\u{:04x}", c);
      else
        fmt::format_to(std::back_inserter(out), "\\u{{{:x}}}", c);
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
}

void append_quoted(std::string_view text, Escaping escaping, fmt::memory_buffer& out) {
  out.push_back('"');
  append_escaped(text, escaping, out);
  out.push_back('"');
}

void append_list(const FieldValue& value, std::string_view separator, fmt::memory_buffer& out) {
  out.push_back('[');
  for (std::size_t i = 0; i < value.list_size(); ++i) {
    if (i > 0) out.append(separator);
    if (value.list_signed())
      fmt::format_to(std::back_inserter(out), "{}", value.list_signed_at(i));
    else
      fmt::format_to(std::back_inserter(out), "{}", value.list_unsigned_at(i));
  }
  out.push_back(']');
}

void append_value(const FieldValue& value, bool json, fmt::memory_buffer& out) {
  switch (value.kind()) {
    case FieldValue::Kind::Signed:
      fmt::format_to(std::back_inserter(out), "{}", value.as_signed());
      return;
    case FieldValue::Kind::Unsigned:
      fmt::format_to(std::back_inserter(out), "{}", value.as_unsigned());
      return;
    case FieldValue::Kind::Bool:
      out.append(value.as_bool() ? std::string_view("true") : std::string_view("false"));
      return;
    case FieldValue::Kind::Text:
      append_quoted(value.as_text(), json ? Escaping::Json : Escaping::Quoted, out);
      return;
    case FieldValue::Kind::Verbatim:
      if (json)
        append_quoted(value.as_text(), Escaping::Json, out);
      else
        append_escaped(value.as_text(), Escaping::Verbatim, out);
      return;
    case FieldValue::Kind::List:
      append_list(value, json ? "," : ", ", out);
      return;
  }
}

// RFC 3339 in UTC with microseconds, e.g. 2026-03-01T12:34:56.789012Z.
void append_timestamp(std::chrono::system_clock::time_point now, fmt::memory_buffer& out) {
  using namespace std::chrono;
  const auto micros = time_point_cast<microseconds>(now);
  const auto day = floor<days>(micros);
  const year_month_day date{day};
  const hh_mm_ss time{micros - day};
  fmt::format_to(std::back_inserter(out), "{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:06}Z",
                 static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                 static_cast<unsigned>(date.day()), time.hours().count(), time.minutes().count(),
                 time.seconds().count(), time.subseconds().count());
}

}  // namespace

Format format_from_variable(const char* value) {
  return value != nullptr && std::string_view(value) == "json" ? Format::Json : Format::Text;
}

Subscriber::Subscriber(Filter filter, Format format, std::FILE* sink, Clock clock)
    : filter_(std::move(filter)), format_(format), sink_(sink), clock_(clock) {}

void Subscriber::render(const EventMeta& meta, std::span<const std::string_view> names,
                        std::span<const FieldValue> values, fmt::memory_buffer& out) const {
  const std::size_t count = std::min(names.size(), values.size());
  if (format_ == Format::Json) {
    out.append(std::string_view("{\"timestamp\":\""));
    append_timestamp(clock_(), out);
    out.append(std::string_view("\",\"level\":\""));
    out.append(level_name(meta.level));
    out.append(std::string_view("\",\"target\":"));
    append_quoted(meta.target, Escaping::Json, out);
    out.append(std::string_view(",\"fields\":{\"message\":"));
    append_quoted(meta.message, Escaping::Json, out);
    for (std::size_t i = 0; i < count; ++i) {
      out.push_back(',');
      append_quoted(names[i], Escaping::Json, out);
      out.push_back(':');
      append_value(values[i], true, out);
    }
    out.append(std::string_view("}}\n"));
    return;
  }
  append_timestamp(clock_(), out);
  fmt::format_to(std::back_inserter(out), " {:>5} ", level_name(meta.level));
  append_escaped(meta.target, Escaping::Verbatim, out);
  out.append(std::string_view(": "));
  append_escaped(meta.message, Escaping::Verbatim, out);
  for (std::size_t i = 0; i < count; ++i) {
    out.push_back(' ');
    append_escaped(names[i], Escaping::Verbatim, out);
    out.push_back('=');
    append_value(values[i], false, out);
  }
  out.push_back('\n');
}

void Subscriber::write(const EventMeta& meta, std::span<const std::string_view> names,
                       std::span<const FieldValue> values) const {
  fmt::memory_buffer line;
  render(meta, names, values, line);
  // One call per line: stdio locks the stream per call, so the line is never split.
  std::fwrite(line.data(), 1, line.size(), sink_);
}

}  // namespace kro_runtime::log
