// Fuzz target for the snapshot reader and validation.
//
// Any input must either be refused with a positioned error or load into records that validate
// without crashing, and a loaded snapshot written back as JSON must load into equal records with
// the same validation verdict.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "kro_codegen/exchange/snapshot_reader.hpp"
#include "kro_codegen/exchange/snapshot_writer.hpp"

namespace {

[[noreturn]] void broken(const char* what) {
  std::fprintf(stderr, "snapshot fuzz property broken: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kro_codegen::exchange;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto snapshot = parse_snapshot(text);
  if (!snapshot) {
    if (snapshot.error().kind != SnapshotReadError::Kind::Json) broken("I/O error from memory");
    if (snapshot.error().line < 1 || snapshot.error().message.empty()) broken("error position");
    return 0;
  }
  const auto verdict = snapshot->validate();
  const auto again = parse_snapshot(write_snapshot_json(*snapshot));
  if (!again) broken("written snapshot does not load");
  if (*again != *snapshot) broken("written snapshot loads differently");
  if (again->validate() != verdict) broken("validation verdict changed after writing");
  return 0;
}
