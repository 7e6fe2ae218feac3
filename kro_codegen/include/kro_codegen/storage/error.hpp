// Errors of the tensor-storage layout. They reach the benchmark only inside
// `kro_codegen::exchange::ExchangeLoweringError::storage`.
#pragma once

#include <cstdint>
#include <string>

namespace kro_codegen::storage {

enum class AmpOrder : std::uint8_t { TransposedLeft, TransposedRight, Output };

struct BlockMajorOrder {
  enum class Kind : std::uint8_t { Matrix, TransposedMatrix };
  Kind kind = Kind::Matrix;
  std::uint16_t row_block = 0;
  std::uint16_t column_block = 0;

  friend bool operator==(const BlockMajorOrder&, const BlockMajorOrder&) = default;
};

std::string debug_string(AmpOrder order);
// "Matrix { row_block: 4, column_block: 8 }"
std::string debug_string(const BlockMajorOrder& order);

class [[nodiscard]] StorageError {
 public:
  enum class Kind : std::uint8_t {
    WrongShard = 0,
    InvalidView = 1,
    MatrixRank = 2,
    AmpBlock = 3,
    BlockMajorBlock = 4,
    Overflow = 5,
  };

  static StorageError wrong_shard() { return StorageError(Kind::WrongShard); }
  static StorageError invalid_view() { return StorageError(Kind::InvalidView); }
  static StorageError matrix_rank() { return StorageError(Kind::MatrixRank); }
  static StorageError amp_block(AmpOrder role) {
    StorageError e(Kind::AmpBlock);
    e.role_ = role;
    return e;
  }
  static StorageError block_major_block(BlockMajorOrder order) {
    StorageError e(Kind::BlockMajorBlock);
    e.order_ = order;
    return e;
  }
  static StorageError overflow() { return StorageError(Kind::Overflow); }

  Kind kind() const { return kind_; }
  AmpOrder role() const { return role_; }
  const BlockMajorOrder& order() const { return order_; }

  std::string display() const;
  std::string debug() const;

  friend bool operator==(const StorageError&, const StorageError&) = default;

 private:
  explicit StorageError(Kind kind) : kind_(kind) {}

  Kind kind_;
  AmpOrder role_ = AmpOrder::TransposedLeft;
  BlockMajorOrder order_{};
};

}  // namespace kro_codegen::storage
