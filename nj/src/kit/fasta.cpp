// SPDX-License-Identifier: MIT
// FASTA text to an encoded alignment, in pieces of any size: a record is a
// header line starting with '>' and the sequence lines up to the next one.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <vector>

#include "kit/builder_state.hpp"
#include "kit/workers.hpp"
#include "message_text.hpp"
#include "nj/error.hpp"

namespace nj::kit {

namespace {

bool is_blank(char c) noexcept { return c == ' ' || (c >= '\t' && c <= '\r'); }

}  // namespace

class FastaParser::Reader {
 public:
  Reader(MissingRule rule, AlphabetChoice alphabet, std::string source)
      : state_(rule, alphabet, std::move(source), true) {}

  std::expected<void, std::string> feed(std::string_view bytes) {
    if (!failure_.empty()) return std::unexpected(failure_);
    while (!bytes.empty()) {
      auto taken = take(bytes);
      if (!taken) return fail(std::move(taken.error()));
      bytes.remove_prefix(*taken);
    }
    return {};
  }

  std::expected<Alignment, std::string> finish() {
    if (!failure_.empty()) return std::unexpected(failure_);
    if (in_record_) {
      if (auto ended = end_record(); !ended) return fail(std::move(ended.error()));
    }
    failure_ = state_.message("the input was already read to its end");
    return state_.finish();
  }

 private:
  enum class Place : std::uint8_t { line_start, header, sequence, before_first_header };

  std::unexpected<std::string> fail(std::string message) {
    failure_ = message;
    return std::unexpected(std::move(message));
  }

  // Consumes the start of `bytes` up to the end of the line or of the
  // piece; returns how much it took.
  std::expected<std::size_t, std::string> take(std::string_view bytes) {
    if (place_ == Place::line_start) return start_line(bytes.front());
    const std::size_t end = bytes.find('\n');
    const std::string_view line = bytes.substr(0, end);
    switch (place_) {
      case Place::header: take_header(line); break;
      case Place::sequence: state_.append(line); break;
      default:
        for (const char c : line) {
          if (!is_blank(c)) {
            return std::unexpected(state_.message(
                fill("line {}: sequence text before the first header", line_number_)));
          }
        }
    }
    if (end == std::string_view::npos) return bytes.size();
    if (place_ == Place::header) {
      if (auto checked = check_identifier(); !checked) return std::unexpected(checked.error());
    }
    ++line_number_;
    place_ = Place::line_start;
    return end + 1;
  }

  std::expected<std::size_t, std::string> start_line(char first) {
    if (first == '>') {
      if (in_record_) {
        if (auto ended = end_record(); !ended) return std::unexpected(ended.error());
      }
      in_record_ = true;
      place_ = Place::header;
      word_ = Word::before;
      identifier_.clear();
      return 1;
    }
    place_ = in_record_ ? Place::sequence : Place::before_first_header;
    return 0;
  }

  // The identifier is the header's first word; the rest of the line is a
  // description, read past.
  void take_header(std::string_view text) {
    for (const char c : text) {
      if (word_ == Word::after) return;
      if (is_blank(c)) {
        if (word_ == Word::inside) word_ = Word::after;
      } else {
        word_ = Word::inside;
        identifier_ += c;
      }
    }
  }

  std::expected<void, std::string> check_identifier() const {
    if (is_valid_utf8(identifier_)) return {};
    return std::unexpected(
        state_.message(fill("line {}: the identifier is not UTF-8 text", line_number_)));
  }

  std::expected<void, std::string> end_record() {
    if (place_ == Place::header) {
      if (auto checked = check_identifier(); !checked) return checked;
    }
    return state_.end_row(std::move(identifier_));
  }

  enum class Word : std::uint8_t { before, inside, after };

  AlignmentBuilder::State state_;
  Place place_ = Place::line_start;
  Word word_ = Word::before;
  bool in_record_ = false;
  std::uint64_t line_number_ = 1;
  std::string identifier_;
  std::string failure_;  // set once anything failed
};

FastaParser::FastaParser(MissingRule missing, AlphabetChoice alphabet, std::string source)
    : reader_(std::make_unique<Reader>(missing, alphabet, std::move(source))) {}
FastaParser::FastaParser(FastaParser&&) noexcept = default;
FastaParser& FastaParser::operator=(FastaParser&&) noexcept = default;
FastaParser::~FastaParser() = default;

std::expected<void, std::string> FastaParser::feed(std::string_view bytes) {
  return reader_->feed(bytes);
}

std::expected<Alignment, std::string> FastaParser::finish() { return reader_->finish(); }

namespace {

// An open file, closed on every path.
class InputFile {
 public:
  explicit InputFile(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;
  ~InputFile() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool is_open() const noexcept { return fd_ >= 0; }

  // The next bytes into `buffer`; 0 at the end; -1 with errno set.
  ssize_t read(std::vector<char>& buffer) const noexcept {
    for (;;) {
      const ssize_t got = ::read(fd_, buffer.data(), buffer.size());
      if (got >= 0 || errno != EINTR) return got;
    }
  }

 private:
  int fd_;
};

std::string system_message(const std::string& path, int error) {
  return fill("{}: {}", path, std::generic_category().message(error));
}

// Reads the whole file into the parser, asking whether to stop between pieces.
std::expected<Alignment, std::string> parse_file(const std::string& path, FastaParser& parser,
                                                 const StopCheck& should_stop) {
  const InputFile file(path);
  if (!file.is_open()) return std::unexpected(system_message(path, errno));
  constexpr std::size_t piece = std::size_t{1} << 20;
  std::vector<char> buffer(piece);
  for (;;) {
    if (should_stop()) throw Cancelled();
    const ssize_t got = file.read(buffer);
    if (got < 0) return std::unexpected(system_message(path, errno));
    if (got == 0) return parser.finish();
    auto fed = parser.feed({buffer.data(), static_cast<std::size_t>(got)});
    if (!fed) return std::unexpected(std::move(fed.error()));
  }
}

}  // namespace

std::expected<Alignment, std::string> read_fasta(const std::string& path, MissingRule missing,
                                                 AlphabetChoice alphabet, const Monitor& monitor) {
  FastaParser parser(missing, alphabet, path);
  std::expected<Alignment, std::string> result = std::unexpected(std::string());
  detail::run_on_workers(
      1, [&](unsigned, const StopCheck& should_stop) { result = parse_file(path, parser, should_stop); },
      nullptr, monitor);
  return result;
}

}  // namespace nj::kit
