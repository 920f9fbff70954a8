// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <deque>
#include <string>
#include <vector>

#include "os_random.hpp"
#include "random.hpp"

namespace nj {
namespace {

using os_random::SystemCalls;

// A scripted kernel: each call consumes the next reply, fills buffers with
// the bytes 1, 2, 3, ... and logs what it was asked.
struct Reply {
  long result;
  int error = 0;
};

struct FakeKernel {
  std::deque<Reply> replies;
  std::vector<std::string> log;
  std::uint8_t next_byte = 1;
};

FakeKernel* kernel = nullptr;

long answer(void* buffer, std::size_t length) {
  if (kernel->replies.empty()) {
    ADD_FAILURE() << "unscripted call";
    errno = EIO;
    return -1;
  }
  const Reply reply = kernel->replies.front();
  kernel->replies.pop_front();
  auto* bytes = static_cast<std::uint8_t*>(buffer);
  for (long k = 0; k < reply.result && static_cast<std::size_t>(k) < length; ++k) {
    bytes[k] = kernel->next_byte++;
  }
  errno = reply.error;
  return reply.result;
}

void note(std::string entry) { kernel->log.push_back(std::move(entry)); }

std::string open_mode(int flags) {
  std::string mode = (flags & O_ACCMODE) == O_RDONLY ? "read-only" : "writable";
  if (flags & O_CLOEXEC) mode += " close-on-exec";
  return mode;
}

constexpr SystemCalls fake_calls{
    [](void* buffer, std::size_t length, unsigned flags) -> ssize_t {
      note("getrandom " + std::to_string(length) + " flags " + std::to_string(flags));
      return answer(buffer, length);
    },
    [](const char* path, int flags) -> int {
      note(std::string("open ") + path + " " + open_mode(flags));
      return static_cast<int>(answer(nullptr, 0));
    },
    [](pollfd* fds, nfds_t count, int timeout_ms) -> int {
      note("poll " + std::to_string(count) + " fd " + std::to_string(fds[0].fd) +
           (fds[0].events == POLLIN ? " in " : " ? ") + std::to_string(timeout_ms));
      return static_cast<int>(answer(nullptr, 0));
    },
    [](int fd, void* buffer, std::size_t length) -> ssize_t {
      note("read " + std::to_string(fd) + " " + std::to_string(length));
      return answer(buffer, length);
    },
    [](int fd) -> int {
      note("close " + std::to_string(fd));
      return 0;
    },
};

class OsRandom : public ::testing::Test {
 protected:
  void SetUp() override { kernel = &fake; }
  void TearDown() override {
    EXPECT_TRUE(fake.replies.empty()) << "replies left over";
    kernel = nullptr;
  }
  void script(std::vector<Reply> replies) {
    fake = FakeKernel{};
    fake.replies.assign(replies.begin(), replies.end());
  }
  FakeKernel fake;
};

std::string outcome(const std::expected<void, std::string>& result) {
  return result ? "ok" : result.error();
}

TEST_F(OsRandom, FillsByGetrandomAndByReading) {
  struct Case {
    std::vector<Reply> replies;
    std::string outcome;
    std::vector<std::size_t> lengths_asked;
  };
  const std::vector<Case> cases = {
      {{{8}}, "ok", {8}},
      {{{3}, {5}}, "ok", {8, 5}},
      {{{-1, EINTR}, {2}, {-1, EINTR}, {6}}, "ok", {8, 8, 6, 6}},
      {{{-1, EIO}}, "Input/output error", {8}},
      {{{4}, {-1, EAGAIN}}, "Resource temporarily unavailable", {8, 4}},
      {{{-1, 0}}, "errno: did not return a positive value", {8}},
      {{{0}}, "unexpected situation", {8}},
      {{{5}, {4}}, "unexpected situation", {8, 3}},
  };
  for (const bool by_getrandom : {true, false}) {
    for (const Case& c : cases) {
      script(c.replies);
      std::array<std::byte, 8> buffer{};
      const auto result = by_getrandom ? os_random::fill_by_getrandom(buffer, fake_calls)
                                       : os_random::fill_from_descriptor(7, buffer, fake_calls);
      EXPECT_EQ(outcome(result), c.outcome);
      std::vector<std::string> expected_log;
      for (const std::size_t length : c.lengths_asked) {
        expected_log.push_back(by_getrandom ? "getrandom " + std::to_string(length) + " flags 0"
                                            : "read 7 " + std::to_string(length));
      }
      EXPECT_EQ(fake.log, expected_log);
      if (result) {
        for (std::size_t k = 0; k < buffer.size(); ++k) {
          EXPECT_EQ(static_cast<int>(buffer[k]), static_cast<int>(k) + 1) << "byte " << k;
        }
      }
    }
  }
}

TEST_F(OsRandom, ProbeSelectsTheFallbackOnlyWhenTheCallIsMissingOrForbidden) {
  struct Case {
    Reply reply;
    bool unavailable;
  };
  const std::vector<Case> cases = {
      {{0}, false},          {{-1, ENOSYS}, true}, {{-1, EPERM}, true},
      {{-1, EINVAL}, false}, {{-1, EINTR}, false}, {{-1, 0}, false},
  };
  for (const Case& c : cases) {
    script({c.reply});
    EXPECT_EQ(os_random::getrandom_unavailable(fake_calls), c.unavailable) << c.reply.error;
    EXPECT_EQ(fake.log, (std::vector<std::string>{"getrandom 0 flags 0"}));
  }
}

TEST_F(OsRandom, FallbackWaitsOnDevRandomThenKeepsDevUrandom) {
  const std::string open_random = "open /dev/random read-only close-on-exec";
  const std::string open_urandom = "open /dev/urandom read-only close-on-exec";
  const std::string poll_random = "poll 1 fd 3 in -1";
  struct Case {
    std::vector<Reply> replies;
    std::string outcome;
    std::vector<std::string> log;
  };
  const std::vector<Case> cases = {
      {{{3}, {1}, {4}}, "fd 4", {open_random, poll_random, "close 3", open_urandom}},
      {{{3}, {-1, EINTR}, {-1, EAGAIN}, {0}, {1}, {4}},
       "fd 4",
       {open_random, poll_random, poll_random, poll_random, poll_random, "close 3", open_urandom}},
      {{{-1, ENOENT}}, "No such file or directory", {open_random}},
      {{{3}, {-1, EBADF}}, "Bad file descriptor", {open_random, poll_random, "close 3"}},
      {{{3}, {1}, {-1, EACCES}}, "Permission denied",
       {open_random, poll_random, "close 3", open_urandom}},
  };
  for (const Case& c : cases) {
    script(c.replies);
    const auto fd = os_random::open_fallback(fake_calls);
    EXPECT_EQ(fd ? "fd " + std::to_string(*fd) : fd.error(), c.outcome);
    EXPECT_EQ(fake.log, c.log);
  }
}

TEST(OsRandomText, DescribesErrors) {
  struct Case {
    int errnum;
    const char* text;
  };
  const std::vector<Case> cases = {
      {EIO, "Input/output error"},
      {EPERM, "Operation not permitted"},
      {0, "errno: did not return a positive value"},
      {-4, "errno: did not return a positive value"},
  };
  for (const Case& c : cases) EXPECT_EQ(os_random::describe_error(c.errnum), c.text);

  const std::string unknown = os_random::describe_error(987654);
  EXPECT_TRUE(unknown == "OS Error: 987654" || unknown.find("987654") != std::string::npos)
      << unknown;
}

TEST(OsRandomReal, SeedsAreFreshAndTheFallbackOpens) {
  const auto first = os_seed();
  const auto second = os_seed();
  ASSERT_TRUE(first) << first.error();
  ASSERT_TRUE(second) << second.error();
  EXPECT_NE(*first, *second);  // equal once in 2^64 draws

  const auto fd = os_random::open_fallback(os_random::real_calls());
  ASSERT_TRUE(fd) << fd.error();
  std::array<std::byte, 64> buffer{};
  EXPECT_TRUE(os_random::fill_from_descriptor(*fd, buffer, os_random::real_calls()));
  EXPECT_NE(buffer, (std::array<std::byte, 64>{}));
  EXPECT_NE(::fcntl(*fd, F_GETFD) & FD_CLOEXEC, 0);
  ::close(*fd);
}

}  // namespace
}  // namespace nj
