// The batch loop and the one conversion of array batches.
#include "row_batch.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

namespace quillon {
namespace {

// Writes `v` as a `Src` at p.
template <class Src>
void store(char* p, double v) {
  const Src s = static_cast<Src>(v);
  std::memcpy(p, &s, sizeof(Src));
}

struct Layout {
  ElementType type;
  size_t size;
  void (*put)(char*, double);
};

const Layout kLayouts[] = {
    {ElementType::Float32, 4, &store<float>},   {ElementType::Float64, 8, &store<double>},
    {ElementType::Int8, 1, &store<int8_t>},     {ElementType::Int16, 2, &store<int16_t>},
    {ElementType::Int32, 4, &store<int32_t>},   {ElementType::Int64, 8, &store<int64_t>},
    {ElementType::UInt8, 1, &store<uint8_t>},   {ElementType::UInt16, 2, &store<uint16_t>},
    {ElementType::UInt32, 4, &store<uint32_t>}, {ElementType::UInt64, 8, &store<uint64_t>},
};

// Every element of every layout (C order, Fortran order, reversed rows, padded columns, a
// broadcast row) copies to what element<T>() reads at its address.
template <class T>
void check_copies(std::mt19937_64& rng) {
  for (const Layout& layout : kLayouts) {
    for (int trial = 0; trial < 40; ++trial) {
      const size_t rows = rng() % 7;
      const size_t cols = rng() % 5;
      const ptrdiff_t size = static_cast<ptrdiff_t>(layout.size);
      const ptrdiff_t pad = static_cast<ptrdiff_t>(rng() % 3);
      std::vector<char> memory((rows + 1) * (cols + 1) * layout.size * 3 + 64);
      for (size_t k = 0; k + layout.size <= memory.size(); k += layout.size) {
        layout.put(memory.data() + k, static_cast<double>(rng() % 200) * 0.37);
      }
      StridedView v;
      v.rows = rows;
      v.cols = cols;
      v.type = layout.type;
      v.base = memory.data();
      switch (trial % 4) {
        case 0:  // C order, perhaps padded
          v.col_stride = size;
          v.row_stride = static_cast<ptrdiff_t>(cols) * size + pad * size;
          break;
        case 1:  // Fortran order
          v.col_stride = static_cast<ptrdiff_t>(rows) * size;
          v.row_stride = size;
          break;
        case 2:  // rows reversed
          v.col_stride = size;
          v.row_stride = -static_cast<ptrdiff_t>(cols) * size;
          v.base = memory.data() + (rows > 0 ? (rows - 1) * cols * layout.size : 0);
          break;
        default:  // one row repeated
          v.col_stride = size * (1 + pad);
          v.row_stride = 0;
      }
      const Rows<T> copy = copy_rows<T>(v, trial % 2 == 0);
      ASSERT_EQ(copy.size(), rows);
      EXPECT_EQ(copy.one_dimensional(), trial % 2 == 0);
      for (size_t i = 0; i < rows; ++i) {
        ASSERT_EQ(copy[i].size(), cols);
        for (size_t j = 0; j < cols; ++j) {
          const char* p = v.base + static_cast<ptrdiff_t>(i) * v.row_stride +
                          static_cast<ptrdiff_t>(j) * v.col_stride;
          const T want = element<T>(p, layout.type);
          EXPECT_EQ(std::memcmp(&copy[i][j], &want, sizeof(T)), 0)
              << "type " << static_cast<int>(layout.type) << " trial " << trial;
        }
      }
    }
  }
}

TEST(CopyRows, EveryLayoutCopiesAsElementReads) {
  std::mt19937_64 rng(7);
  check_copies<float>(rng);
  check_copies<double>(rng);
  check_copies<int64_t>(rng);
}

TEST(CopyRows, ConvertsThroughDoubleAsTheSingleCallDoes) {
  // 2^53 + 1 as an integer: rounds to 2^53 in a double, then to float.
  const int64_t big = (int64_t{1} << 53) + 1;
  StridedView v{reinterpret_cast<const char*>(&big), 1, 1, 8, 8, ElementType::Int64};
  EXPECT_EQ(copy_rows<float>(v, false)[0][0], static_cast<float>(static_cast<double>(big)));
  EXPECT_EQ(copy_rows<int64_t>(v, false)[0][0], big);
  EXPECT_EQ(copy_bytes<float>(StridedView{nullptr, uint64_t{1} << 40, 3, 0, 8, ElementType::Float64}),
            (static_cast<unsigned __int128>(1) << 40) * 12);
}

TEST(RaggedRows, RowsKeepTheirOwnLengths) {
  const Rows<double> rows = Rows<double>::ragged({1, 2, 3, 4, 5, 6}, {0, 1, 1, 4, 6}, 0);
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[0].size(), 1u);
  EXPECT_EQ(rows[1].size(), 0u);
  EXPECT_EQ(rows[2][2], 4.0);
  EXPECT_EQ(rows[3][1], 6.0);
  EXPECT_EQ(rows.scalar_row(), std::optional<uint64_t>(0));
}

// A batch over `rows` rows that refuses row `bad` and records what ran.
struct Recorder {
  size_t bad = SIZE_MAX;
  bool refuse_whole = false;
  std::vector<size_t> checked;
  std::vector<size_t> applied;
  int finished = 0;

  BatchStatus before() const {
    if (refuse_whole) return fail_row(std::nullopt, DetectorError::invalid_argument("shape"));
    return {};
  }
  Status check(size_t i) {
    checked.push_back(i);
    if (i == bad) return fail(DetectorError::invalid_argument("bad row"));
    return {};
  }
  Status apply(size_t i, double* score) {
    applied.push_back(i);
    if (score != nullptr) *score = static_cast<double>(i) * 0.5;
    return {};
  }
  void finish() { ++finished; }
};

TEST(RunBatch, ARefusedRowAppliesNothing) {
  for (const BatchMode mode : {BatchMode::Update, BatchMode::Score, BatchMode::UpdateAndScore}) {
    for (const size_t rows : {size_t{0}, size_t{1}, size_t{5}, size_t{10000}}) {
      for (size_t bad = 0; bad <= rows; bad += 1 + rows / 3) {
        Recorder r;
        r.bad = bad;
        auto result = run_batch(r, rows, mode, {});
        if (bad < rows) {
          ASSERT_FALSE(result);
          EXPECT_EQ(result.error().row, std::optional<uint64_t>(bad));
          EXPECT_EQ(r.checked.size(), bad + 1);
          EXPECT_TRUE(r.applied.empty());
          EXPECT_EQ(r.finished, 0);
        } else {
          ASSERT_TRUE(result);
          EXPECT_EQ(r.applied.size(), rows);
          EXPECT_EQ(r.finished, 1);
          EXPECT_EQ(result->values.size(), scores(mode) ? rows : 0);
          for (size_t i = 0; i < result->values.size(); ++i) {
            EXPECT_EQ(result->values[i], static_cast<double>(i) * 0.5);
          }
        }
      }
    }
  }
  Recorder whole;
  whole.refuse_whole = true;
  auto result = run_batch(whole, 3, BatchMode::Update, {});
  ASSERT_FALSE(result);
  EXPECT_FALSE(result.error().row);
  EXPECT_TRUE(whole.checked.empty());
}

TEST(RunBatch, AnInterruptStopsBetweenRowsAndSaysHowFar) {
  const size_t rows = 3 * kRowsPerInterruptCheck + 17;
  // The interrupt answers "stop" on its n-th question; questions come every
  // kRowsPerInterruptCheck rows of the check pass, then of the apply pass.
  for (int stop_at = 1; stop_at <= 7; ++stop_at) {
    for (const BatchMode mode : {BatchMode::Update, BatchMode::Score, BatchMode::UpdateAndScore}) {
      int asked = 0;
      const BatchInterrupt interrupt = [&]() -> Status {
        if (++asked == stop_at) return fail(DetectorError::interrupted());
        return {};
      };
      Recorder r;
      auto result = run_batch(r, rows, mode, interrupt);
      if (stop_at > 6) {
        ASSERT_TRUE(result);
        EXPECT_EQ(asked, 6);
        continue;
      }
      ASSERT_FALSE(result);
      EXPECT_EQ(result.error().error.kind, DetectorError::Kind::Interrupted);
      EXPECT_FALSE(result.error().row);
      const std::string& note = result.error().error.message;
      if (stop_at <= 3) {
        EXPECT_TRUE(r.applied.empty());
        EXPECT_EQ(r.checked.size(), stop_at * kRowsPerInterruptCheck);
        EXPECT_NE(note.find("no row was applied"), std::string::npos) << note;
      } else {
        const size_t done = (stop_at - 3) * kRowsPerInterruptCheck;
        EXPECT_EQ(r.applied.size(), done);
        EXPECT_EQ(r.finished, 1);
        const std::string count = std::to_string(done) + " of " + std::to_string(rows);
        EXPECT_NE(note.find(count), std::string::npos) << note;
      }
    }
  }
}

}  // namespace
}  // namespace quillon
