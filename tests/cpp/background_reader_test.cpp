#include "storage/snapshot/background_reader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace tavrik {
namespace {

// A file of `length` numbered bytes, open for reading, removed at the end.
class NumberedFile {
 public:
  explicit NumberedFile(std::size_t length) {
    char name[] = "/tmp/tavrik-reader-XXXXXX";
    fd_ = ::mkstemp(name);
    ::unlink(name);
    for (std::size_t i = 0; i < length; ++i) {
      bytes_.push_back(static_cast<std::uint8_t>(i * 7 + i / 251));
    }
    EXPECT_EQ(::write(fd_, bytes_.data(), bytes_.size()), static_cast<ssize_t>(bytes_.size()));
    ::lseek(fd_, 0, SEEK_SET);
  }
  ~NumberedFile() { ::close(fd_); }
  int fd() const { return fd_; }
  const std::vector<std::uint8_t>& bytes() const { return bytes_; }

 private:
  int fd_ = -1;
  std::vector<std::uint8_t> bytes_;
};

// Pieces taken whole and bytes read out of them, in any mix, give the file
// in order, a piece's own bytes kPieceLead in; so do the plain reads of a
// reader without a thread, which hands over no pieces.
TEST(BackgroundReader, PiecesAndReadsGiveTheFileInOrder) {
  const NumberedFile file(3 * BackgroundReader::kPieceBytes + 1000);
  for (const std::size_t announced : {std::size_t{0}, BackgroundReader::kThreadFromBytes}) {
    for (const std::size_t read_length : {0, 1, 100'000}) {
      ASSERT_EQ(::lseek(file.fd(), 0, SEEK_SET), 0);
      BackgroundReader reader(file.fd(), announced);
      std::vector<std::uint8_t> got;
      FileBytes piece;
      for (bool take = true;; take = !take) {
        if ((take || read_length == 0) && reader.take_piece(piece)) {
          ASSERT_GT(piece.size(), ByteSource::kPieceLead);
          got.insert(got.end(), piece.begin() + ByteSource::kPieceLead, piece.end());
          continue;
        }
        std::vector<std::uint8_t> some(std::max<std::size_t>(read_length, 4096));
        const std::size_t count = reader.read(some);
        if (count == 0) break;
        got.insert(got.end(), some.begin(), some.begin() + static_cast<std::ptrdiff_t>(count));
      }
      EXPECT_EQ(got, file.bytes()) << "announced " << announced << ", reads of " << read_length;
      EXPECT_FALSE(reader.take_piece(piece));
      EXPECT_EQ(reader.error(), 0);
    }
  }
}

// A failing read ends the input and keeps its errno, with or without a
// thread; a reader dropped before the end stops its thread.
TEST(BackgroundReader, AFailedReadEndsTheInput) {
  const int directory = ::open("/tmp", O_RDONLY | O_DIRECTORY);
  ASSERT_GE(directory, 0);
  for (const std::size_t announced : {std::size_t{0}, BackgroundReader::kThreadFromBytes}) {
    BackgroundReader reader(directory, announced);
    FileBytes piece;
    std::uint8_t some[10];
    EXPECT_FALSE(reader.take_piece(piece));
    EXPECT_EQ(reader.read(some), 0u);
    EXPECT_EQ(reader.error(), EISDIR);
  }
  ::close(directory);
  const NumberedFile file(10 * BackgroundReader::kPieceBytes);
  BackgroundReader unfinished(file.fd(), BackgroundReader::kThreadFromBytes);
  std::uint8_t first[1];
  EXPECT_EQ(unfinished.read(first), 1u);
}

}  // namespace
}  // namespace tavrik
