#include "snapshot_loading.hpp"

#include <fcntl.h>
#include <fmt/format.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "kro_codegen/exchange/snapshot_reader.hpp"

namespace exchange_schedule_bench {

std::expected<kro_codegen::exchange::ExchangeScheduleSnapshot, ErrorReport> load_snapshot(
    const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    return std::unexpected(
        ErrorReport::wrap(fmt::format("open {}", path),
                          fmt::format("{} (os error {})", std::strerror(error), error)));
  }
  auto snapshot = kro_codegen::exchange::read_snapshot(fd);
  ::close(fd);
  if (!snapshot) {
    return std::unexpected(
        ErrorReport::wrap(fmt::format("parse {}", path), snapshot.error().display()));
  }
  return std::move(*snapshot);
}

}  // namespace exchange_schedule_bench
