// The frame reader on a pipe that delivers the stream in pieces: each piece is written only after
// the reader has drained the last, so every piece boundary is a short read. Whatever the split,
// read_frame must yield exactly the frames (and then the end or the fault) that a plain model of
// the format finds in the bytes, and read_next_framed_json (or one FrameReader kept across the
// frames) must answer each frame as the request parser and validate do, stopping at the first
// fault.
//
// Input: 1 byte choosing the length limit of the read_frame pass, 4 bytes seeding the split (and,
// by their last two bits, the reader: read_frame, read_next_framed_json, or one FrameReader for
// the whole stream as the host loop uses), then the stream itself.
#include <sched.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <mutex>
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

// Writes the pieces of one stream at a time on a thread that lives as long as the process:
// starting a thread per input costs far more than the input's whole check.
class PieceWriter {
 public:
  static PieceWriter& instance() {
    // Never destroyed: the thread runs until the process ends.
    static PieceWriter* writer = new PieceWriter;
    return *writer;
  }

  // Starts writing `stream` into `write_fd`, cut at `cuts`, then closes `write_fd`.
  void start(int read_fd, int write_fd, std::string_view stream,
             const std::vector<std::size_t>& cuts) {
    std::lock_guard lock(mutex_);
    job_ = Job{read_fd, write_fd, stream, &cuts};
    stopped_.store(false);
    state_ = State::Writing;
    changed_.notify_all();
  }

  // Tells the writer that the reader has stopped and waits until it has closed its end.
  void finish() {
    stopped_.store(true);
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return state_ == State::Idle; });
  }

 private:
  struct Job {
    int read_fd = -1, write_fd = -1;
    std::string_view stream;
    const std::vector<std::size_t>* cuts = nullptr;
  };
  enum class State { Idle, Writing };

  PieceWriter() {
    std::thread([this] { serve(); }).detach();
  }

  void serve() {
    for (;;) {
      Job job;
      {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return state_ == State::Writing; });
        job = job_;
      }
      write_pieces(job);
      std::lock_guard lock(mutex_);
      state_ = State::Idle;
      changed_.notify_all();
    }
  }

  // True once the reader has taken every byte written so far; false when it has stopped.
  bool wait_until_drained(int read_fd) {
    for (;;) {
      if (stopped_.load()) return false;
      int pending = 0;
      FUZZ_CHECK(::ioctl(read_fd, FIONREAD, &pending) == 0);
      if (pending == 0) return true;
      sched_yield();
    }
  }

  void write_pieces(const Job& job) {
    std::size_t offset = 0, next_cut = 0;
    while (offset < job.stream.size() && wait_until_drained(job.read_fd)) {
      std::size_t end = next_cut < job.cuts->size() ? (*job.cuts)[next_cut++] : job.stream.size();
      auto bytes = reinterpret_cast<const std::uint8_t*>(job.stream.data() + offset);
      FUZZ_CHECK(platform::write_all(job.write_fd, {bytes, end - offset}).has_value());
      offset = end;
    }
    ::close(job.write_fd);
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  State state_ = State::Idle;
  Job job_;
  std::atomic<bool> stopped_{false};
};

// One pass over a stream: a pipe whose writer delivers the stream in pieces, each only after the
// reader has drained the last.
class SplitFeed {
 public:
  SplitFeed(std::string_view stream, std::uint64_t seed) {
    choose_cuts(stream, Choices(seed));
    FUZZ_CHECK(::pipe(fds_) == 0);
    // An uncut stream that fits the pipe needs no writer running beside the reader.
    threaded_ = !cuts_.empty() || stream.size() > kMaxPiece;
    if (threaded_) {
      PieceWriter::instance().start(fds_[0], fds_[1], stream, cuts_);
      return;
    }
    auto bytes = reinterpret_cast<const std::uint8_t*>(stream.data());
    FUZZ_CHECK(platform::write_all(fds_[1], {bytes, stream.size()}).has_value());
    ::close(fds_[1]);
  }
  SplitFeed(const SplitFeed&) = delete;
  SplitFeed& operator=(const SplitFeed&) = delete;
  ~SplitFeed() {
    if (threaded_) PieceWriter::instance().finish();
    ::close(fds_[0]);
  }

  int read_fd() const { return fds_[0]; }

 private:
  // A few cuts anywhere, and often the cuts that split the first length prefix and the start of
  // its payload byte by byte: each cut costs two context switches, and a handful per stream
  // reaches every read loop of the reader.
  void choose_cuts(std::string_view stream, Choices choices) {
    if (stream.size() < 2) return;
    std::size_t count = choices.below(4);
    for (std::size_t i = 0; i < count; ++i) cuts_.push_back(1 + choices.below(stream.size() - 1));
    if (choices.below(3) == 0) {
      for (std::size_t cut : {1u, 2u, 3u, 5u, 6u}) cuts_.push_back(cut);
    }
    for (std::size_t at = kMaxPiece; at < stream.size(); at += kMaxPiece) cuts_.push_back(at);
    std::sort(cuts_.begin(), cuts_.end());
    cuts_.erase(std::unique(cuts_.begin(), cuts_.end()), cuts_.end());
    while (!cuts_.empty() && cuts_.back() >= stream.size()) cuts_.pop_back();
  }

  std::vector<std::size_t> cuts_;
  int fds_[2] = {-1, -1};
  bool threaded_ = false;
};

// One step of reading frames: a payload, the clean end, or a fault of one part.
struct Step {
  enum class Kind { Payload, End, LengthFault, InvalidLength, PayloadFault } kind;
  std::string payload;
  bool operator==(const Step&) const = default;
};

std::string text_of(const std::vector<Step>& steps) {
  static constexpr std::string_view kNames[] = {"payload", "end", "length fault", "invalid length",
                                                "payload fault"};
  std::string out;
  for (const Step& step : steps) {
    out += kNames[static_cast<int>(step.kind)];
    if (step.kind == Step::Kind::Payload) out += "(" + std::to_string(step.payload.size()) + ")";
    out += "; ";
  }
  return out;
}

std::string text_of(const std::vector<std::string>& answers) {
  std::string out;
  for (const std::string& answer : answers) out += answer + "; ";
  return out;
}

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

// With `reuse`, one FrameReader reads every frame into the buffer it keeps, as the host loop does,
// so a payload shorter than the one before must not show any of its bytes; otherwise each frame
// is read by read_next_framed_json.
std::vector<std::string> read_answers(int fd, bool reuse) {
  std::vector<std::string> answers;
  protocol::FrameReader reader(fd);
  for (;;) {
    auto outcome = reuse ? reader.next() : protocol::read_next_framed_json(fd);
    if (!outcome) {
      FUZZ_CHECK(outcome.error().code == ErrorCode::InvalidRequest);
      FUZZ_CHECK(!outcome.error().retryable());
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

  // One pass per input, picked by the seed: the fuzzer reaches both with every kind of stream.
  if (seed % 2 == 0) {
    SplitFeed feed(stream, seed);
    auto steps = read_steps(feed.read_fd(), max_length);
    auto expected = model_steps(stream, max_length);
    FUZZ_CHECK_MSG(steps == expected, "read " + text_of(steps) + "expected " + text_of(expected));
  } else {
    SplitFeed feed(stream, seed);
    auto answers = read_answers(feed.read_fd(), seed % 4 == 1);
    auto expected = expected_answers(model_steps(stream, protocol::kMaxRequestBytes));
    FUZZ_CHECK_MSG(answers == expected,
                   "read " + text_of(answers) + "expected " + text_of(expected));
  }
  return 0;
}
