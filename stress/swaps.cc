// Scenario 5: racing swappers. While a real bridge works, another process keeps exchanging what
// the bridge has just checked for a link out of the store: the browser's file and its request
// directory while the file is opened, the incoming directory during a 60 MiB copy, "Varquin Inbox"
// during clean-up, and the store's roots. A race is won when the bridge answers success for what
// the link put there, publishes a stage that is not a real directory holding its file and
// manifest, or anything outside the store changes. Every "won" figure must stay 0.
#include <optional>

#include "platform/path.h"
#include "scenarios.h"
#include "store_check.h"
#include "toolkit/fs.h"

namespace varquin::stress {

namespace {

constexpr const char* kSection = kSwapSection;

struct Totals {
  std::uint64_t races = 0, wins = 0;
};

// The figures of one attack class, added to the ledger and to the totals when it is done.
class Tally {
 public:
  Tally(Ledger& ledger, Totals& totals, std::string label)
      : ledger_(ledger), totals_(totals), label_(std::move(label)) {}
  ~Tally() {
    ledger_.add(kSection, label_ + ": requests raced", races_);
    ledger_.add(kSection, label_ + ": swaps", swaps_);
    ledger_.add(kSection, label_ + ": races won (must be 0)", wins_);
    totals_.races += races_;
    totals_.wins += wins_;
  }

  void raced(std::uint64_t requests, std::uint64_t swaps) {
    races_ += requests;
    swaps_ += swaps;
  }
  void won(unsigned round, const std::string& what) {
    ++wins_;
    ledger_.violation(kSection, label_ + ", round " + std::to_string(round) + ": " + what);
  }
  // An answer that is neither a success nor one of the refusals the race may cause.
  void unexpected(unsigned round, const std::optional<Answer>& answer) {
    ledger_.violation(kSection, label_ + ", round " + std::to_string(round) + ": answered " +
                                    (answer ? answer->raw : "nothing"));
  }
  void check_outside(const Home& home, const Sentinels& before, unsigned round) {
    if (!check_sentinels(home, before, ledger_, kSection)) won(round, "the trees outside changed");
  }

 private:
  Ledger& ledger_;
  Totals& totals_;
  std::string label_;
  std::uint64_t races_ = 0, swaps_ = 0, wins_ = 0;
};

// Runs one bridge over `requests` while a swapper races `targets`; `raced` of them count.
Session run_raced(const Options& options, const Home& home, Swapper::Targets targets,
                  std::uint64_t seed, const std::vector<std::string>& requests, std::uint64_t raced,
                  Tally& tally) {
  Swapper swapper(std::move(targets), seed);
  swapper.start();
  Session s = run_session(options.programs, home.environment(), requests);
  swapper.stop();
  tally.raced(raced, swapper.swaps());
  return s;
}

const std::optional<Answer>& answer_at(const Session& s, std::size_t index) {
  static const std::optional<Answer> kNone;
  return index < s.answers.size() ? s.answers[index] : kNone;
}

bool refused_with(const std::optional<Answer>& answer,
                  std::initializer_list<std::string_view> codes) {
  if (!answer || answer->ok) return false;
  for (std::string_view code : codes) {
    if (answer->code == code) return true;
  }
  return false;
}

// What a stage answered as staged holds, when it is a real, complete stage; none otherwise.
std::optional<std::string> staged_content(const Home& home, const std::string& id,
                                          const std::string& name) {
  StageView view;
  const std::string stage = home.imports() + "/" + id;
  if (check_stage(stage, id, view)) return std::nullopt;
  auto content = platform::read_regular_file(stage + "/" + name, kMaxFileBytes);
  if (!content) return std::nullopt;
  return std::move(*content);
}

// Judges one success: the stage must hold exactly what the request handed over.
void judge_staged(Tally& tally, const Home& home, unsigned round, const std::string& id,
                  const std::string& name, const std::string& expected) {
  auto content = staged_content(home, id, name);
  if (!content) {
    tally.won(round, "answered staged for " + id + ", but no complete stage is there");
  } else if (*content != expected) {
    tally.won(round, "staged " + id + " with content that is not the request's");
  }
}

std::string bait_directory(const Home& home, const std::string& name) {
  const std::string bait = home.outside_sentinel() + "/" + name;
  testing::make_directories(bait);
  testing::write_file(bait + "/f.csv", "id,value\n1,precious\n");
  return bait;
}

// The browser's file (or its whole request directory) swapped for a link to a sentinel while a
// bridge stages ten downloads.
void browser_file_race(const Options& options, const Home& home, unsigned round, bool directory,
                       Tally& tally) {
  home.reset_store();
  Rng rng(derive_seed(options.seed, directory ? "request-dir-race" : "file-race", round));
  std::vector<std::string> ids, contents, requests;
  std::vector<SwapTarget> targets;
  for (unsigned i = 0; i < 10; ++i) {
    ids.push_back(rng.request_id());
    contents.push_back(rng.bytes(2048));
    const std::string managed = home.inbox() + "/" + ids.back();
    testing::make_directories(managed);
    testing::write_file(managed + "/f.csv", contents.back());
    // A look-alike passes every check of its own: only the path changing gives it away.
    targets.push_back(
        directory ? SwapTarget{managed, bait_directory(home, "Varquin Inbox/" + ids.back())}
                  : SwapTarget{managed + "/f.csv", home.outside_sentinel() + "/precious.csv"});
    requests.push_back(request::stage_download(ids.back(), managed + "/f.csv", "f.csv"));
  }
  const Sentinels before = take_sentinels(home);
  Session s = run_raced(
      options, home, [&] { return targets; }, rng.next(), requests, requests.size(), tally);
  for (std::size_t i = 0; i < ids.size(); ++i) {
    const auto& answer = answer_at(s, i);
    if (answer && answer->ok) {
      judge_staged(tally, home, round, ids[i], "f.csv", contents[i]);
    } else if (!refused_with(answer, {"invalid_file"})) {
      tally.unexpected(round, answer);
    }
  }
  tally.check_outside(home, before, round);
  for (const std::string& id : ids) (void)toolkit::remove_tree(home.inbox() + "/" + id);
}

// The incoming directory swapped for a link while a 60 MiB download is copied into it.
void incoming_race(const Options& options, const Home& home, unsigned round,
                   const std::string& content, Tally& tally) {
  home.reset_store();
  testing::make_directories(home.imports());
  Rng rng(derive_seed(options.seed, "incoming-race", round));
  const std::string id = rng.request_id();
  const std::string managed = home.inbox() + "/" + id;
  testing::make_directories(managed);
  testing::write_file(managed + "/f.csv", content);
  const std::string bait = bait_directory(home, "stage-bait");
  const Sentinels before = take_sentinels(home);
  auto incoming = [&] {
    std::vector<SwapTarget> found;
    auto entries = toolkit::list_directory(home.imports());
    for (const auto& entry : entries ? *entries : std::vector<platform::DirEntry>{}) {
      if (entry.name.starts_with(".incoming-") && !entry.name.ends_with(".swap")) {
        found.push_back({home.imports() + "/" + entry.name, bait});
      }
    }
    return found;
  };
  Session s = run_raced(options, home, incoming, rng.next(),
                        {request::stage_download(id, managed + "/f.csv", "f.csv")}, 1, tally);
  const auto& answer = answer_at(s, 0);
  if (answer && answer->ok) {
    judge_staged(tally, home, round, id, "f.csv", content);
  } else if (!refused_with(answer, {"staging_failed"}) || answer->retryable != true) {
    tally.unexpected(round, answer);
  }
  tally.check_outside(home, before, round);
  (void)toolkit::remove_tree(managed);
}

// "Varquin Inbox" swapped for a link to a look-alike whose request directories are empty too,
// while a bridge cleans ten request directories up.
void cleanup_race(const Options& options, const Home& home, unsigned round, Tally& tally) {
  Rng rng(derive_seed(options.seed, "cleanup-race", round));
  const std::string lookalike = home.outside_sentinel() + "/Varquin Inbox";
  std::vector<std::string> ids, requests;
  for (unsigned i = 0; i < 10; ++i) {
    ids.push_back(rng.request_id());
    testing::make_directories(home.inbox() + "/" + ids.back());
    testing::make_directories(lookalike + "/" + ids.back());
    requests.push_back(request::cleanup(ids.back(), home.inbox() + "/" + ids.back()));
  }
  const Sentinels before = take_sentinels(home);
  auto inbox = [&] { return std::vector<SwapTarget>{{home.inbox(), lookalike}}; };
  Session s = run_raced(options, home, inbox, rng.next(), requests, requests.size(), tally);
  for (std::size_t i = 0; i < ids.size(); ++i) {
    const auto& answer = answer_at(s, i);
    if (answer && answer->ok) {
      // The name never goes missing, so a success can only be the real directory's removal.
      if (testing::path_exists(home.inbox() + "/" + ids[i])) {
        tally.won(round, "answered cleaned for " + ids[i] + ", which is still there");
      }
    } else if (!refused_with(answer, {"invalid_file"})) {
      tally.unexpected(round, answer);
    }
  }
  tally.check_outside(home, before, round);
  (void)toolkit::remove_tree(home.inbox());
  testing::make_directories(home.inbox());
}

// The imports root and the terminals root swapped for links to a directory outside while a
// bridge stages eight uploads.
void roots_race(const Options& options, const Home& home, unsigned round, Tally& tally) {
  home.reset_store();
  testing::make_directories(home.imports());
  testing::make_directories(home.terminals());
  Rng rng(derive_seed(options.seed, "roots-race", round));
  const std::string bait = bait_directory(home, "root-bait");
  std::vector<std::string> ids, contents, requests;
  for (unsigned i = 0; i < 8; ++i) {
    ids.push_back(rng.request_id());
    contents.push_back(rng.bytes(512));
    for (std::string& frame : request::upload(ids.back(), "f.csv", contents.back(), 1024)) {
      requests.push_back(std::move(frame));
    }
  }
  const Sentinels before = take_sentinels(home);
  auto roots = [&] {
    return std::vector<SwapTarget>{{home.imports(), bait}, {home.terminals(), bait}};
  };
  Session s = run_raced(options, home, roots, rng.next(), requests, ids.size(), tally);
  for (std::size_t i = 0; i < ids.size(); ++i) {
    // begin, one chunk, commit: the commit's answer is the third.
    const std::size_t at = 3 * i + 2;
    const auto& answer = answer_at(s, at);
    if (answer && answer->ok) {
      judge_staged(tally, home, round, ids[i], "f.csv", contents[i]);
    } else if (!refused_with(answer, {"invalid_file", "staging_failed"})) {
      tally.unexpected(round, answer);
    }
  }
  tally.check_outside(home, before, round);
}

}  // namespace

void run_swaps(const Options& options, Ledger& ledger) {
  Home home;
  Totals totals;
  const unsigned rounds = options.full ? 200 : 3;
  {
    Tally tally(ledger, totals, "the browser's file, swapped as it is opened");
    for (unsigned round = 0; round < rounds; ++round) {
      browser_file_race(options, home, round, false, tally);
    }
  }
  {
    Tally tally(ledger, totals, "the request directory, swapped as its file is opened");
    for (unsigned round = 0; round < rounds; ++round) {
      browser_file_race(options, home, round, true, tally);
    }
  }
  {
    Tally tally(ledger, totals, "the incoming directory, swapped during a 60 MiB copy");
    const std::string content = Rng(derive_seed(options.seed, "incoming-content")).bytes(60 << 20);
    for (unsigned round = 0; round < (options.full ? 100u : 1u); ++round) {
      incoming_race(options, home, round, content, tally);
    }
  }
  {
    Tally tally(ledger, totals, "\"Varquin Inbox\", swapped during clean-up");
    for (unsigned round = 0; round < rounds; ++round) cleanup_race(options, home, round, tally);
  }
  {
    Tally tally(ledger, totals, "the store's roots, swapped while staging");
    for (unsigned round = 0; round < rounds; ++round) roots_race(options, home, round, tally);
  }
  ledger.add(kSection, kSwapRacesFigure, totals.races);
  ledger.add(kSection, kSwapWinsFigure, totals.wins);
}

}  // namespace varquin::stress
