#include "kro_runtime/log_subscriber.hpp"

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
  const bool quoting = escaping != Escaping::Verbatim;
  const auto plain = [quoting](unsigned char c) {
    return c >= 0x20 && c < 0x7F && !(quoting && (c == '"' || c == '\\'));
  };
  std::size_t i = 0;
  while (i < text.size()) {
    // Copy the run of bytes that need no escaping in one step.
    std::size_t run = i;
    while (run < text.size() && plain(static_cast<unsigned char>(text[run]))) ++run;
    out.append(text.substr(i, run - i));
    if (run == text.size()) break;
    i = run;
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
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(static_cast<char>(c));
    } else if (c == '\n') {
      out.append(std::string_view("\\n"));
    } else if (c == '\r') {
      out.append(std::string_view("\\r"));
    } else if (c == '\t') {
      out.append(std::string_view("\\t"));
    } else if (escaping == Escaping::Json) {
      fmt::format_to(fmt::appender(out), "\\u{:04x}", c);
    } else {
      fmt::format_to(fmt::appender(out), "\\u{{{:x}}}", c);
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
      fmt::format_to(fmt::appender(out), "{}", value.list_signed_at(i));
    else
      fmt::format_to(fmt::appender(out), "{}", value.list_unsigned_at(i));
  }
  out.push_back(']');
}

void append_value(const FieldValue& value, bool json, fmt::memory_buffer& out) {
  switch (value.kind()) {
    case FieldValue::Kind::Signed: {
      const fmt::format_int text(value.as_signed());
      out.append(std::string_view(text.data(), text.size()));
    }
      return;
    case FieldValue::Kind::Unsigned: {
      const fmt::format_int text(value.as_unsigned());
      out.append(std::string_view(text.data(), text.size()));
    }
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

// Appends `value` as exactly `width` decimal digits (zero-padded).
void append_digits(std::uint64_t value, int width, fmt::memory_buffer& out) {
  char digits[20];
  for (int i = width - 1; i >= 0; --i, value /= 10) digits[i] = static_cast<char>('0' + value % 10);
  out.append(std::string_view(digits, static_cast<std::size_t>(width)));
}

// RFC 3339 in UTC with microseconds, e.g. 2026-03-01T12:34:56.789012Z.
void append_timestamp(std::chrono::system_clock::time_point now, fmt::memory_buffer& out) {
  using namespace std::chrono;
  const auto micros = time_point_cast<microseconds>(now);
  const auto day = floor<days>(micros);
  const year_month_day date{day};
  const hh_mm_ss time{micros - day};
  append_digits(static_cast<std::uint64_t>(static_cast<int>(date.year())), 4, out);
  out.push_back('-');
  append_digits(static_cast<unsigned>(date.month()), 2, out);
  out.push_back('-');
  append_digits(static_cast<unsigned>(date.day()), 2, out);
  out.push_back('T');
  append_digits(static_cast<std::uint64_t>(time.hours().count()), 2, out);
  out.push_back(':');
  append_digits(static_cast<std::uint64_t>(time.minutes().count()), 2, out);
  out.push_back(':');
  append_digits(static_cast<std::uint64_t>(time.seconds().count()), 2, out);
  out.push_back('.');
  append_digits(static_cast<std::uint64_t>(time.subseconds().count()), 6, out);
  out.push_back('Z');
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
  // Level names padded to five columns, as in " INFO" and "DEBUG".
  const std::string_view level = level_name(meta.level);
  out.append(std::string_view("      ").substr(0, 6 - level.size()));
  out.append(level);
  out.push_back(' ');
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
