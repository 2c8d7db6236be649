#include "storage/snapshot/file_bytes.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "storage/snapshot/snapshot_file.h"

namespace tavrik {
namespace {

namespace fs = std::filesystem;

// Small and large buffers (large ones take the huge-page placement) keep
// what was written through growth and reallocation.
TEST(FileBytes, KeepsItsContentsThroughGrowth) {
  std::mt19937_64 rng(17);
  for (const std::size_t size : {std::size_t{0}, std::size_t{100}, std::size_t{5} << 20,
                                 (std::size_t{9} << 20) + 3}) {
    FileBytes bytes;
    bytes.reserve(size);
    bytes.resize(size);
    std::vector<std::uint8_t> model(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = model[i] = static_cast<std::uint8_t>(rng());
    bytes.reserve(2 * size + 1);
    bytes.push_back(7);
    model.push_back(7);
    ASSERT_EQ(bytes.size(), model.size());
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), model.begin()));
  }
}

// A file larger than the huge-page threshold reads back byte for byte.
TEST(FileBytes, LargeFileReadsBackExactly) {
  std::string pattern = (fs::temp_directory_path() / "tavrik-file-bytes-XXXXXX").string();
  ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
  const fs::path dir(pattern);
  const std::string path = (dir / "large.snap").string();
  std::mt19937_64 rng(23);
  std::vector<std::uint8_t> written((std::size_t{6} << 20) + 12345);
  for (auto& byte : written) byte = static_cast<std::uint8_t>(rng());
  {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(written.data()),
              static_cast<std::streamsize>(written.size()));
    ASSERT_TRUE(out.good());
  }
  FileBytes read;
  ASSERT_TRUE(read_snapshot_file(path, read).is_ok());
  ASSERT_EQ(read.size(), written.size());
  EXPECT_TRUE(std::equal(read.begin(), read.end(), written.begin()));
  fs::remove_all(dir);
}

}  // namespace
}  // namespace tavrik
