#include "kro_codegen/exchange/snapshot_reader.hpp"

#include <fmt/format.h>
#include <rapidjson/error/en.h>
#include <rapidjson/reader.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <vector>

namespace kro_codegen::exchange {
namespace {

// Deeper nesting than this (only possible inside skipped values) is refused. The reader recurses
// once per nesting level only after the handler accepted the level, so this also bounds its
// stack depth.
constexpr std::size_t kMaximumDepth = 128;

// A byte stream for the JSON reader that counts lines and columns as it goes. It reads either a
// text in memory or a file descriptor through a fixed buffer, and keeps the buffer non-empty until
// the true end of input, so a NUL byte in the text is never mistaken for the end.
class CountingStream {
 public:
  using Ch = char;

  explicit CountingStream(std::string_view text)
      : begin_(text.data()), cur_(text.data()), end_(text.data() + text.size()) {}
  explicit CountingStream(int fd) : fd_(fd), begin_(buffer_), cur_(buffer_), end_(buffer_) {
    refill();
  }
  CountingStream(const CountingStream&) = delete;
  CountingStream& operator=(const CountingStream&) = delete;

  Ch Peek() const { return cur_ != end_ ? *cur_ : '\0'; }
  Ch Take() {
    if (cur_ == end_) return '\0';
    const char c = *cur_++;
    if (c == '\n') {
      ++line_;
      line_start_ = Tell();
    }
    if (cur_ == end_) refill();
    return c;
  }
  std::size_t Tell() const { return consumed_ + static_cast<std::size_t>(cur_ - begin_); }

  // Writing is only used by in-place parsing, which this reader never requests.
  Ch* PutBegin() { return nullptr; }
  void Put(Ch) {}
  void Flush() {}
  std::size_t PutEnd(Ch*) { return 0; }

  bool at_end() const { return cur_ == end_; }
  int io_error() const { return io_error_; }
  std::size_t line() const { return line_; }
  std::size_t column() const { return Tell() - line_start_; }

 private:
  void refill() {
    if (fd_ < 0) return;
    consumed_ += static_cast<std::size_t>(end_ - begin_);
    begin_ = cur_ = end_ = buffer_;
    for (;;) {
      const ssize_t n = ::read(fd_, buffer_, sizeof buffer_);
      if (n > 0) {
        end_ = buffer_ + n;
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else if (n < 0) {
        io_error_ = errno;
      }
      // A read error ends the input; the caller reports it ahead of any parse error.
      if (n <= 0) fd_ = -1;
      return;
    }
  }

  int fd_ = -1;
  const char* begin_;
  const char* cur_;
  const char* end_;
  std::size_t consumed_ = 0;
  std::size_t line_ = 1;
  std::size_t line_start_ = 0;
  int io_error_ = 0;
  char buffer_[kSnapshotReadBufferBytes];
};

// What a JSON value is expected to be at the reader's current position.
enum class Slot : std::uint8_t {
  Snapshot,
  Problem,
  Transfer,
  Destination,
  U16,
  U32,
  Width,
  Unit,  // the null value of a width written as {"Word32": null}
  ProblemList,
  TransferList,
  AddressList,
  DestinationList,
  Skip,
};

constexpr bool is_record(Slot slot) { return slot <= Slot::Destination; }
constexpr bool is_list(Slot slot) {
  return slot >= Slot::ProblemList && slot <= Slot::DestinationList;
}

struct RecordInfo {
  std::string_view name;
  std::uint8_t count;
  std::string_view fields[5];
  Slot slots[5];
};

constexpr RecordInfo kRecords[] = {
    {"ExchangeScheduleSnapshot",
     3,
     {"schema_version", "tile_count", "phases"},
     {Slot::U32, Slot::U16, Slot::ProblemList}},
    {"ExchangeScheduleProblem", 2, {"phase", "transfers"}, {Slot::U32, Slot::TransferList}},
    {"ExchangeScheduleTransfer",
     5,
     {"source", "source_addresses", "destinations", "words", "width"},
     {Slot::U16, Slot::AddressList, Slot::DestinationList, Slot::U32, Slot::Width}},
    {"ExchangeScheduleDestination", 2, {"tile", "address"}, {Slot::U16, Slot::U32}},
};

const RecordInfo& record_info(Slot record) { return kRecords[static_cast<std::size_t>(record)]; }

// Where field `field` of a record lives.
void* field_target(Slot record, void* target, std::uint8_t field) {
  switch (record) {
    case Slot::Snapshot: {
      auto* s = static_cast<ExchangeScheduleSnapshot*>(target);
      void* fields[] = {&s->schema_version, &s->tile_count, &s->phases};
      return fields[field];
    }
    case Slot::Problem: {
      auto* p = static_cast<ExchangeScheduleProblem*>(target);
      void* fields[] = {&p->phase, &p->transfers};
      return fields[field];
    }
    case Slot::Transfer: {
      auto* t = static_cast<ExchangeScheduleTransfer*>(target);
      void* fields[] = {&t->source, &t->source_addresses, &t->destinations, &t->words, &t->width};
      return fields[field];
    }
    default: {
      auto* d = static_cast<ExchangeScheduleDestination*>(target);
      void* fields[] = {&d->tile, &d->address};
      return fields[field];
    }
  }
}

std::string_view expected_text(Slot slot) {
  switch (slot) {
    case Slot::Snapshot:
      return "struct ExchangeScheduleSnapshot";
    case Slot::Problem:
      return "struct ExchangeScheduleProblem";
    case Slot::Transfer:
      return "struct ExchangeScheduleTransfer";
    case Slot::Destination:
      return "struct ExchangeScheduleDestination";
    case Slot::U16:
      return "u16";
    case Slot::U32:
      return "u32";
    case Slot::Width:
      return "enum ExchangeItemWidth";
    case Slot::Unit:
      return "unit variant";
    default:
      return "a sequence";
  }
}

bool is_fraction_or_exponent(std::string_view number) {
  return number.find_first_of(".eE") != std::string_view::npos;
}

// A string for an error message, escaped so that it cannot break the message's line.
std::string escaped(std::string_view text) {
  std::string out;
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      out += fmt::format("\\u{:04x}", static_cast<unsigned>(c));
    } else {
      out += c;
    }
  }
  return out;
}

std::string quoted(std::string_view text) { return fmt::format("\"{}\"", escaped(text)); }

std::optional<ExchangeItemWidth> width_from_name(std::string_view name) {
  if (name == "Word32") return ExchangeItemWidth::Word32;
  if (name == "Paired64") return ExchangeItemWidth::Paired64;
  return std::nullopt;
}

// Receives the reader's events and fills the snapshot. Each open JSON object or array has a
// frame; a frame knows which record or list it fills and, for records, which field comes next.
class SnapshotHandler {
 public:
  using Ch = char;
  using SizeType = rapidjson::SizeType;

  explicit SnapshotHandler(ExchangeScheduleSnapshot& snapshot) : snapshot_(snapshot) {
    stack_.reserve(16);
  }

  const std::string& error() const { return error_; }

  bool Null() {
    const Expect e = expect();
    if (e.slot == Slot::Skip || e.slot == Slot::Unit) return true;
    return invalid_type("null", e.slot);
  }
  bool Bool(bool value) {
    const Expect e = expect();
    if (e.slot == Slot::Skip) return true;
    return invalid_type(value ? "boolean `true`" : "boolean `false`", e.slot);
  }
  // Numbers always arrive as text; these exist for the reader's interface only.
  bool Int(int) { return fail("unexpected number event"); }
  bool Uint(unsigned) { return fail("unexpected number event"); }
  bool Int64(std::int64_t) { return fail("unexpected number event"); }
  bool Uint64(std::uint64_t) { return fail("unexpected number event"); }
  bool Double(double) { return fail("unexpected number event"); }

  bool RawNumber(const Ch* str, SizeType length, bool) {
    const std::string_view text(str, length);
    const Expect e = expect();
    if (e.slot == Slot::Skip) return true;
    if (e.slot != Slot::U16 && e.slot != Slot::U32) {
      return invalid_type(is_fraction_or_exponent(text) ? fmt::format("floating point `{}`", text)
                                                        : fmt::format("integer `{}`", text),
                          e.slot);
    }
    const std::uint64_t maximum = e.slot == Slot::U16 ? 0xFFFF : 0xFFFFFFFF;
    if (is_fraction_or_exponent(text)) {
      return invalid_type(fmt::format("floating point `{}`", text), e.slot);
    }
    std::uint64_t value = 0;
    bool in_range = text.front() != '-';
    for (std::size_t i = 0; in_range && i < text.size(); ++i) {
      value = value * 10 + static_cast<std::uint64_t>(text[i] - '0');
      in_range = value <= maximum;
    }
    if (!in_range) {
      return fail(
          fmt::format("invalid value: integer `{}`, expected {}", text, expected_text(e.slot)));
    }
    if (e.slot == Slot::U16) {
      *static_cast<std::uint16_t*>(e.target) = static_cast<std::uint16_t>(value);
    } else if (e.append) {
      static_cast<std::vector<std::uint32_t>*>(e.target)->push_back(
          static_cast<std::uint32_t>(value));
    } else {
      *static_cast<std::uint32_t*>(e.target) = static_cast<std::uint32_t>(value);
    }
    return true;
  }

  bool String(const Ch* str, SizeType length, bool) {
    const std::string_view text(str, length);
    const Expect e = expect();
    if (e.slot == Slot::Skip) return true;
    if (e.slot != Slot::Width) return invalid_type(fmt::format("string {}", quoted(text)), e.slot);
    const auto width = width_from_name(text);
    if (!width) return unknown_variant(text);
    *static_cast<ExchangeItemWidth*>(e.target) = *width;
    return true;
  }

  bool StartObject() {
    if (stack_.size() >= kMaximumDepth) return fail("recursion limit exceeded");
    const Expect e = expect();
    if (e.slot == Slot::Skip) return push({Frame::Kind::Skip, Slot::Skip, 0, 0, nullptr});
    if (e.slot == Slot::Width) return push({Frame::Kind::WidthObject, Slot::Width, 0, 0, e.target});
    if (!is_record(e.slot)) return invalid_type("map", e.slot);
    return push({Frame::Kind::RecordObject, e.slot, kNoField, 0, record_target(e)});
  }

  bool Key(const Ch* str, SizeType length, bool) {
    const std::string_view key(str, length);
    Frame& top = stack_.back();
    if (top.kind == Frame::Kind::Skip) return true;
    if (top.kind == Frame::Kind::WidthObject) {
      if (top.field != 0) return fail("expected a single variant key for enum ExchangeItemWidth");
      const auto width = width_from_name(key);
      if (!width) return unknown_variant(key);
      *static_cast<ExchangeItemWidth*>(top.target) = *width;
      top.field = 1;
      return true;
    }
    const RecordInfo& info = record_info(top.slot);
    top.field = kNoField;
    for (std::uint8_t field = 0; field < info.count; ++field) {
      if (info.fields[field] != key) continue;
      if ((top.seen >> field & 1) != 0) {
        return fail(fmt::format("duplicate field `{}`", info.fields[field]));
      }
      top.seen |= static_cast<std::uint8_t>(1u << field);
      top.field = field;
      break;
    }
    return true;
  }

  bool EndObject(SizeType) {
    const Frame top = stack_.back();
    stack_.pop_back();
    if (top.kind == Frame::Kind::WidthObject && top.field == 0) {
      return fail("invalid type: empty map, expected enum ExchangeItemWidth");
    }
    if (top.kind == Frame::Kind::RecordObject) {
      const RecordInfo& info = record_info(top.slot);
      for (std::uint8_t field = 0; field < info.count; ++field) {
        if ((top.seen >> field & 1) == 0) {
          return fail(fmt::format("missing field `{}`", info.fields[field]));
        }
      }
    }
    return true;
  }

  bool StartArray() {
    if (stack_.size() >= kMaximumDepth) return fail("recursion limit exceeded");
    const Expect e = expect();
    if (e.slot == Slot::Skip) return push({Frame::Kind::Skip, Slot::Skip, 0, 0, nullptr});
    if (is_list(e.slot)) return push({Frame::Kind::List, e.slot, 0, 0, e.target});
    if (!is_record(e.slot)) return invalid_type("sequence", e.slot);
    return push({Frame::Kind::RecordArray, e.slot, 0, 0, record_target(e)});
  }

  bool EndArray(SizeType count) {
    const Frame top = stack_.back();
    stack_.pop_back();
    if (top.kind == Frame::Kind::RecordArray) {
      const RecordInfo& info = record_info(top.slot);
      if (count != info.count) {
        return fail(fmt::format("invalid length {}, expected struct {} with {} elements", count,
                                info.name, info.count));
      }
    }
    return true;
  }

 private:
  static constexpr std::uint8_t kNoField = 0xFF;

  struct Frame {
    enum class Kind : std::uint8_t { RecordObject, RecordArray, List, WidthObject, Skip };
    Kind kind;
    Slot slot;           // the record or list this frame fills
    std::uint8_t field;  // object: field of the current key; array record: next element index
    std::uint8_t seen;   // object: bit per field already given
    void* target;        // the record, the list, or the width
  };

  struct Expect {
    Slot slot;
    void* target;
    bool append;  // `target` is the list the value is appended to
  };

  // The slot of the value that starts now; advances an array-form record to its next field.
  Expect expect() {
    if (stack_.empty()) return {Slot::Snapshot, &snapshot_, false};
    Frame& top = stack_.back();
    switch (top.kind) {
      case Frame::Kind::RecordObject:
        if (top.field == kNoField) return {Slot::Skip, nullptr, false};
        return {record_info(top.slot).slots[top.field],
                field_target(top.slot, top.target, top.field), false};
      case Frame::Kind::RecordArray: {
        const std::uint8_t field = top.field;
        if (field >= record_info(top.slot).count) return {Slot::Skip, nullptr, false};
        ++top.field;
        return {record_info(top.slot).slots[field], field_target(top.slot, top.target, field),
                false};
      }
      case Frame::Kind::List: {
        static constexpr Slot kElements[] = {Slot::Problem, Slot::Transfer, Slot::U32,
                                             Slot::Destination};
        const auto list =
            static_cast<std::size_t>(top.slot) - static_cast<std::size_t>(Slot::ProblemList);
        return {kElements[list], top.target, true};
      }
      case Frame::Kind::WidthObject:
        return {Slot::Unit, nullptr, false};
      case Frame::Kind::Skip:
        break;
    }
    return {Slot::Skip, nullptr, false};
  }

  // The record a starting object or array fills; list elements are appended first.
  static void* record_target(const Expect& e) {
    if (!e.append) return e.target;
    switch (e.slot) {
      case Slot::Problem:
        return &static_cast<std::vector<ExchangeScheduleProblem>*>(e.target)->emplace_back();
      case Slot::Transfer:
        return &static_cast<std::vector<ExchangeScheduleTransfer>*>(e.target)->emplace_back();
      default:
        return &static_cast<std::vector<ExchangeScheduleDestination>*>(e.target)->emplace_back();
    }
  }

  bool push(const Frame& frame) {
    stack_.push_back(frame);
    return true;
  }
  bool fail(std::string message) {
    error_ = std::move(message);
    return false;
  }
  bool invalid_type(std::string_view what, Slot expected) {
    return fail(fmt::format("invalid type: {}, expected {}", what, expected_text(expected)));
  }
  bool unknown_variant(std::string_view name) {
    return fail(
        fmt::format("unknown variant `{}`, expected `Word32` or `Paired64`", escaped(name)));
  }

  ExchangeScheduleSnapshot& snapshot_;
  std::vector<Frame> stack_;
  std::string error_;
};

// The reader's own error, phrased for the position it stopped at.
std::string syntax_message(rapidjson::ParseErrorCode code, bool at_end) {
  using rapidjson::ParseErrorCode;
  if (at_end) {
    switch (code) {
      case rapidjson::kParseErrorObjectMissName:
      case rapidjson::kParseErrorObjectMissColon:
      case rapidjson::kParseErrorObjectMissCommaOrCurlyBracket:
        return "EOF while parsing an object";
      case rapidjson::kParseErrorArrayMissCommaOrSquareBracket:
        return "EOF while parsing a list";
      case rapidjson::kParseErrorStringMissQuotationMark:
      case rapidjson::kParseErrorStringEscapeInvalid:
      case rapidjson::kParseErrorStringUnicodeEscapeInvalidHex:
        return "EOF while parsing a string";
      case rapidjson::kParseErrorNumberMissFraction:
      case rapidjson::kParseErrorNumberMissExponent:
        return "EOF while parsing a number";
      default:
        return "EOF while parsing a value";
    }
  }
  std::string text = rapidjson::GetParseError_En(code);
  if (!text.empty() && text.back() == '.') text.pop_back();
  if (!text.empty() && text.front() >= 'A' && text.front() <= 'Z') text.front() += 'a' - 'A';
  return text;
}

constexpr bool is_json_whitespace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

SnapshotReadError io_error(int error) {
  return {SnapshotReadError::Kind::Io, fmt::format("{} (os error {})", std::strerror(error), error),
          0, 0};
}

SnapshotReadResult parse_stream(CountingStream& stream) {
  constexpr unsigned kFlags = rapidjson::kParseStopWhenDoneFlag |
                              rapidjson::kParseNumbersAsStringsFlag |
                              rapidjson::kParseValidateEncodingFlag;
  ExchangeScheduleSnapshot snapshot;
  SnapshotHandler handler(snapshot);
  rapidjson::Reader reader;
  const rapidjson::ParseResult result = reader.Parse<kFlags>(stream, handler);
  if (stream.io_error() != 0) return std::unexpected(io_error(stream.io_error()));
  if (result.IsError()) {
    std::string message = result.Code() == rapidjson::kParseErrorTermination
                              ? handler.error()
                              : syntax_message(result.Code(), stream.at_end());
    return std::unexpected(SnapshotReadError{SnapshotReadError::Kind::Json, std::move(message),
                                             stream.line(), stream.column()});
  }
  while (!stream.at_end() && is_json_whitespace(stream.Peek())) stream.Take();
  if (stream.io_error() != 0) return std::unexpected(io_error(stream.io_error()));
  if (!stream.at_end()) {
    stream.Take();
    return std::unexpected(SnapshotReadError{SnapshotReadError::Kind::Json, "trailing characters",
                                             stream.line(), stream.column()});
  }
  return snapshot;
}

}  // namespace

std::string SnapshotReadError::display() const {
  if (kind == Kind::Io) return message;
  return fmt::format("{} at line {} column {}", message, line, column);
}

SnapshotReadResult parse_snapshot(std::string_view json) {
  CountingStream stream(json);
  return parse_stream(stream);
}

SnapshotReadResult read_snapshot(int fd) {
  CountingStream stream(fd);
  return parse_stream(stream);
}

}  // namespace kro_codegen::exchange
