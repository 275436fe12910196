// The frame reader on a pipe that delivers the stream in pieces: each piece is written only after
// the reader has drained the last, so every piece boundary is a short read. Whatever the split,
// read_frame must yield exactly the frames (and then the end or the fault) that a plain model of
// the format finds in the bytes, and read_next_framed_json must answer each frame as the request
// parser and validate do, stopping at the first fault.
//
// Input: 1 byte choosing the length limit of the read_frame pass, 4 bytes seeding the split, then
// the stream itself.
#include <sched.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <thread>
#include <variant>
#include <vector>

#include "platform/fd.h"
#include "protocol/framing.h"
#include "support/check.h"
#include "support/input.h"
#include "support/request_text.h"

namespace {

using namespace varquin;
using namespace varquin::fuzz;
using protocol::FrameReadError;

// Pieces never exceed one page, the smallest capacity a pipe can have, so a write into an empty
// pipe never blocks even when the reader has stopped reading.
constexpr std::size_t kMaxPiece = 4096;

class SplitFeed {
 public:
  SplitFeed(std::string_view stream, std::uint64_t seed) : stream_(stream), choices_(seed) {
    FUZZ_CHECK(::pipe(fds_) == 0);
    writer_ = std::thread([this] { write_pieces(); });
  }
  SplitFeed(const SplitFeed&) = delete;
  SplitFeed& operator=(const SplitFeed&) = delete;
  ~SplitFeed() {
    done_.store(true);
    writer_.join();
    ::close(fds_[0]);
  }

  int read_fd() const { return fds_[0]; }

 private:
  std::size_t next_piece() {
    // Mostly tiny pieces, where the reader's own loops are tested hardest.
    static constexpr std::size_t kScales[] = {1, 2, 3, 5, 16, 300, kMaxPiece};
    return 1 + choices_.below(kScales[choices_.below(std::size(kScales))]);
  }

  // True once the reader has taken every byte written so far; false when it has stopped.
  bool wait_until_drained() {
    for (;;) {
      if (done_.load()) return false;
      int pending = 0;
      FUZZ_CHECK(::ioctl(fds_[0], FIONREAD, &pending) == 0);
      if (pending == 0) return true;
      sched_yield();
    }
  }

  void write_pieces() {
    std::size_t offset = 0;
    while (offset < stream_.size() && wait_until_drained()) {
      std::size_t piece = std::min(next_piece(), stream_.size() - offset);
      auto bytes = reinterpret_cast<const std::uint8_t*>(stream_.data() + offset);
      FUZZ_CHECK(platform::write_all(fds_[1], {bytes, piece}).has_value());
      offset += piece;
    }
    ::close(fds_[1]);
  }

  std::string_view stream_;
  Choices choices_;
  int fds_[2] = {-1, -1};
  std::atomic<bool> done_{false};
  std::thread writer_;
};

// One step of reading frames: a payload, the clean end, or a fault of one part.
struct Step {
  enum class Kind { Payload, End, LengthFault, InvalidLength, PayloadFault } kind;
  std::string payload;
  bool operator==(const Step&) const = default;
};

std::uint32_t little_endian(std::string_view bytes) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<std::uint8_t>(bytes[i]);
  return value;
}

// The format, read off the bytes directly.
std::vector<Step> model_steps(std::string_view stream, std::uint32_t max_length) {
  std::vector<Step> steps;
  for (;;) {
    if (stream.empty()) {
      steps.push_back({Step::Kind::End, {}});
      return steps;
    }
    if (stream.size() < 4) {
      steps.push_back({Step::Kind::LengthFault, {}});
      return steps;
    }
    std::uint32_t length = little_endian(stream);
    stream.remove_prefix(4);
    if (length == 0 || length > max_length) {
      steps.push_back({Step::Kind::InvalidLength, {}});
      return steps;
    }
    if (stream.size() < length) {
      steps.push_back({Step::Kind::PayloadFault, {}});
      return steps;
    }
    steps.push_back({Step::Kind::Payload, std::string(stream.substr(0, length))});
    stream.remove_prefix(length);
  }
}

Step::Kind fault_kind(FrameReadError::Part part) {
  switch (part) {
    case FrameReadError::Part::Length:
      return Step::Kind::LengthFault;
    case FrameReadError::Part::InvalidLength:
      return Step::Kind::InvalidLength;
    case FrameReadError::Part::Payload:
      break;
  }
  return Step::Kind::PayloadFault;
}

std::vector<Step> read_steps(int fd, std::uint32_t max_length) {
  std::vector<Step> steps;
  for (;;) {
    auto frame = protocol::read_frame(fd, max_length);
    if (!frame) {
      steps.push_back({fault_kind(frame.error().part), {}});
      return steps;
    }
    if (!*frame) {
      steps.push_back({Step::Kind::End, {}});
      return steps;
    }
    FUZZ_CHECK(!(*frame)->empty() && (*frame)->size() <= max_length);
    steps.push_back({Step::Kind::Payload, std::move(**frame)});
  }
}

// What read_next_framed_json must report for each step of the model: a request's description,
// "end", or an error's message (a fixed prefix where the I/O text follows it).
std::vector<std::string> expected_answers(const std::vector<Step>& steps) {
  std::vector<std::string> answers;
  for (const Step& step : steps) {
    switch (step.kind) {
      case Step::Kind::End:
        answers.push_back("end");
        return answers;
      case Step::Kind::LengthFault:
        answers.push_back("Unable to read native message length: ");
        return answers;
      case Step::Kind::InvalidLength:
        answers.push_back("Native message length is invalid");
        return answers;
      case Step::Kind::PayloadFault:
        answers.push_back("Unable to read native message payload: ");
        return answers;
      case Step::Kind::Payload:
        break;
    }
    auto request = protocol::parse_host_request(step.payload);
    if (!request) {
      answers.push_back("Native message is not valid protocol JSON: " + request.error());
      return answers;
    }
    if (auto valid = request->validate(); !valid) {
      answers.push_back(valid.error().message);
      return answers;
    }
    answers.push_back("request " + describe(*request));
  }
  return answers;
}

std::string io_prefix_of(const std::string& message) {
  for (std::string_view prefix :
       {"Unable to read native message length: ", "Unable to read native message payload: "}) {
    if (message.starts_with(prefix)) return std::string(prefix);
  }
  return message;
}

std::vector<std::string> read_answers(int fd) {
  std::vector<std::string> answers;
  for (;;) {
    auto outcome = protocol::read_next_framed_json(fd);
    if (!outcome) {
      FUZZ_CHECK(outcome.error().code == ErrorCode::InvalidRequest);
      FUZZ_CHECK(!outcome.error().retryable);
      answers.push_back(io_prefix_of(outcome.error().message));
      return answers;
    }
    if (std::holds_alternative<protocol::EndOfInput>(*outcome)) {
      answers.push_back("end");
      return answers;
    }
    answers.push_back("request " + describe(std::get<protocol::HostRequest>(*outcome)));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The writer never writes after the reader is gone, but a fault must not kill the run quietly.
  static const bool kIgnoreSigpipe = [] { return std::signal(SIGPIPE, SIG_IGN) != SIG_ERR; }();
  FUZZ_CHECK(kIgnoreSigpipe);

  InputCursor input(data, size);
  std::uint8_t limit_choice = input.byte();
  // Small limits reach the length check with small inputs; the real limit is tested too.
  std::uint32_t max_length =
      limit_choice < 128 ? protocol::kMaxRequestBytes : std::uint32_t{limit_choice} - 127;
  std::uint32_t seed = input.u32();
  std::string_view stream = input.rest();

  {
    SplitFeed feed(stream, seed);
    FUZZ_CHECK(read_steps(feed.read_fd(), max_length) == model_steps(stream, max_length));
  }
  {
    SplitFeed feed(stream, std::uint64_t{seed} << 32 | 0x9E3779B9u);
    FUZZ_CHECK(read_answers(feed.read_fd()) ==
               expected_answers(model_steps(stream, protocol::kMaxRequestBytes)));
  }
  return 0;
}
