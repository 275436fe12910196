// Scenario 4: hostile paths. A racing thread keeps swapping directories for links to a sentinel
// tree while expiry or a rollback removes them; links planted in the managed download directory,
// in the store's roots and in record paths; and malformed requests. Nothing outside the store
// may change, and every bad input is refused with its code.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <thread>

#include "import_format.h"
#include "scenarios.h"
#include "staging/records.h"
#include "store_check.h"
#include "toolkit/fs.h"

namespace varquin::stress {

namespace {

constexpr const char* kSection = kHostileSection;

void fill_tree(const std::string& directory, Rng& rng) {
  testing::make_directories(directory + "/inner");
  testing::write_file(directory + "/a.csv", rng.bytes(64));
  testing::write_file(directory + "/inner/b.csv", rng.bytes(64));
}

bool answered_ok(const Session& s, std::string_view status) {
  return !s.answers.empty() && s.answers.back() && s.answers.back()->ok &&
         s.answers.back()->status == status;
}

// Expiry removes an old stage and an abandoned incoming directory while links come and go.
void expiry_race(const Options& options, const Home& home, unsigned round, Ledger& ledger) {
  home.reset_store();
  Rng rng(derive_seed(options.seed, "expiry-race", round));
  const std::string old_id = rng.request_id();
  plant_stage(home, old_id, "old.csv", rng.bytes(100), rfc3339_seconds_ago(kEightDays));
  const std::string stage = home.imports() + "/" + old_id;
  fill_tree(stage + "/d", rng);
  const std::string incoming =
      home.imports() + "/" + plant_incoming(home, rng, rng.request_id(), 0);
  fill_tree(incoming + "/a/d", rng);
  age_path(incoming + "/a", kEightDays);
  age_path(incoming, kEightDays);

  const std::vector<SwapTarget> targets{{stage + "/d", home.outside_sentinel()},
                                        {incoming + "/a/d", home.outside_sentinel()}};
  Swapper racer([&] { return targets; }, rng.next());
  racer.start();
  const std::string id = rng.request_id();
  Session s = run_session(options.programs, home.environment(),
                          request::upload(id, "new.csv", rng.bytes(300), 1024));
  racer.stop();
  ledger.add(kSection, "link swaps during expiry", racer.swaps());
  if (answered_ok(s, "staged")) {
    ledger.add(kSection, "expiry races where the request was staged");
  } else {
    // A directory put back at the wrong moment can make the removal fail: retryable, no harm.
    const auto& a = s.answers.back();
    ledger.expect(
        a && !a->ok && a->code == "staging_failed" && a->retryable == true, kSection,
        "expiry race " + std::to_string(round) + ": answered " + (a ? a->raw : "nothing"));
    ledger.add(kSection, "expiry races where a removal failed (staging_failed, retryable)");
  }
  (void)toolkit::remove_tree(stage);
  (void)toolkit::remove_tree(incoming);
}

// A failed launch rolls a new stage back while its directory is swapped for a link.
void rollback_race(const Options& options, const Home& home, unsigned round, Ledger& ledger) {
  home.reset_store();
  Rng rng(derive_seed(options.seed, "rollback-race", round));
  const std::string id = rng.request_id();
  const std::string directory = home.inbox() + "/" + id;
  testing::make_directories(directory);
  testing::write_file(directory + "/r.csv", rng.bytes(200));
  const std::string stage = home.imports() + "/" + id;
  testing::make_directories(home.imports());

  std::atomic<bool> stop{false};
  std::atomic<std::uint64_t> swaps{0};
  const bool swap_whole = rng.chance(50);
  std::thread racer([&] {
    while (!stop) {
      struct stat info {};
      if (::lstat(stage.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) continue;
      if (swap_whole) {
        // The stage itself becomes a link to the sentinel; the real one is moved aside.
        if (::rename(stage.c_str(), (home.imports() + "/.aside-" + id).c_str()) == 0 &&
            ::symlink(home.outside_sentinel().c_str(), stage.c_str()) == 0) {
          ++swaps;
        }
        return;
      }
      // A directory inside the stage keeps turning into a link to the sentinel.
      const std::string inner = stage + "/d";
      if (::mkdir(inner.c_str(), 0777) != 0) continue;
      // A failure here only makes the race milder.
      [[maybe_unused]] const int linked =
          ::symlink(home.outside_sentinel().c_str(), (inner + "/link").c_str());
      if (::rename(inner.c_str(), (inner + ".away").c_str()) == 0 &&
          ::symlink(home.outside_sentinel().c_str(), inner.c_str()) == 0) {
        ++swaps;
        (void)::unlink(inner.c_str());
        (void)::rename((inner + ".away").c_str(), inner.c_str());
      }
    }
  });
  Session s = run_session(options.programs, home.environment({{"VARQUIN_FAKE_OPEN_EXIT", "1"}}),
                          {request::stage_download(id, directory + "/r.csv", "r.csv")});
  stop = true;
  racer.join();
  ledger.add(kSection, "link swaps during rollback", swaps);
  const auto& a = s.answers.empty() ? std::nullopt : s.answers.back();
  // A stage swapped between its publishing rename and the check that follows is refused before
  // any launch: retryable, and the directory found there is put back.
  const bool refused_at_publication =
      a && !a->ok && a->code == "staging_failed" && a->retryable == true;
  ledger.expect(
      a && !a->ok && (a->code == "app_launch_failed" || refused_at_publication), kSection,
      "rollback race " + std::to_string(round) + ": answered " + (a ? a->raw : "nothing"));
  ledger.add(kSection,
             refused_at_publication ? "rollback races refused at publication" : "rollback races");
  (void)toolkit::remove_tree(stage);
  (void)toolkit::remove_tree(home.imports() + "/.aside-" + id);
  (void)toolkit::remove_tree(directory);
}

// One planted link or malformed request: exactly one answer per request, the last one refused
// with one of the expected codes (or, where the case only needs a purge to run, "staged"); the
// store as it was unless the request was staged; nothing outside the store changed.
struct Case {
  std::string name;
  std::function<std::vector<std::string>(const Home&, Rng&)> setup;  // returns the requests
  std::vector<std::string> codes;  // "staged" for a request that must succeed
  // What must hold afterwards besides: a problem, or empty.
  std::function<std::string(const Home&)> after = {};
  // The bridge's soft limit of open descriptors (macOS's default is 256); 0 leaves it.
  rlim_t descriptor_limit = 0;
};

void run_case(const Options& options, const Home& home, const Case& c, unsigned index,
              Ledger& ledger) {
  home.reset_store();
  testing::make_directories(home.imports());
  testing::make_directories(home.terminals());
  Rng rng(derive_seed(options.seed, "hostile-case", index));
  const std::vector<std::string> requests = c.setup(home, rng);
  const Sentinels sentinels = take_sentinels(home);
  const Snapshot imports_before = snapshot_tree(home.imports());
  const Snapshot terminals_before = snapshot_tree(home.terminals());
  Session s = [&] {
    testing::ScopedDescriptorLimit limit(c.descriptor_limit);
    return run_session(options.programs, home.environment(), requests, 30);
  }();
  ledger.add(kSection, "bad inputs tried");
  const bool one_each = s.answers.size() == requests.size() && !s.raw.timed_out;
  if (!ledger.expect(one_each && s.answers.back(), kSection,
                     c.name + ": " + std::to_string(requests.size()) + " requests, " +
                         std::to_string(s.answers.size()) + " answers")) {
    return;
  }
  const Answer& a = *s.answers.back();
  bool expected = false;
  for (const std::string& code : c.codes) {
    expected |= code == "staged" ? a.ok && a.status == "staged" : !a.ok && a.code == code;
  }
  ledger.expect(expected, kSection, c.name + ": answered " + a.raw);
  if (expected) ledger.add(kSection, "bad inputs answered as expected (refused, or ignored)");
  if (c.after) {
    const std::string problem = c.after(home);
    ledger.expect(problem.empty(), kSection, c.name + ": " + problem);
  }
  check_sentinels(home, sentinels, ledger, kSection);
  if (a.ok) {
    // Only the purge mattered here: the store must still be sound.
    StoreRules rules;
    for (const auto& [path, description] : imports_before) {
      if (path.find('/') == std::string::npos) rules.tolerated.insert(path);
    }
    for (const std::string& problem : inspect_store(home, rules).problems) {
      ledger.violation(kSection, c.name + ": " + problem);
    }
    return;
  }
  Snapshot imports_after = snapshot_tree(home.imports());
  imports_after.erase(".bridge.lock");
  Snapshot imports_expected = imports_before;
  imports_expected.erase(".bridge.lock");
  for (const auto& change : compare_snapshots(imports_expected, imports_after)) {
    ledger.violation(kSection, c.name + ": the store changed: " + change);
  }
  for (const auto& change : compare_snapshots(terminals_before, snapshot_tree(home.terminals()))) {
    ledger.violation(kSection, c.name + ": the terminal records changed: " + change);
  }
}

std::string managed(const Home& home, const std::string& id) {
  return home.inbox() + "/" + id;
}

// A download of a file named f.csv that the case has placed (or not) in `directory`.
std::vector<std::string> download(const std::string& id, const std::string& path) {
  return {request::stage_download(id, path, "f.csv")};
}

void plant_link(const std::string& target, const std::string& link) {
  (void)toolkit::remove_tree(link);
  if (::symlink(target.c_str(), link.c_str()) != 0) {
    std::fprintf(stderr, "varquin-stress: cannot plant link %s\n", link.c_str());
    std::abort();
  }
}

// What a case plants must be there, or the case would pass without testing anything.
void planted(bool ok, const std::string& what) {
  if (ok) return;
  std::fprintf(stderr, "varquin-stress: cannot plant %s\n", what.c_str());
  std::abort();
}

void plant_fifo(const std::string& path) {
  planted(testing::make_fifo(path), "a FIFO at " + path);
}

// A terabyte that takes no room: a reader that trusts the size runs out of memory.
void plant_sparse_terabyte(const std::string& path) {
  planted(testing::make_sparse_file(path, off_t{1} << 40), "a sparse file at " + path);
}

// A directory outside the store that looks like an old stage of `id`, as bait for expiry.
std::string bait_stage(const Home& home, const std::string& id) {
  const std::string bait = home.outside_sentinel() + "/bait-" + id;
  if (testing::path_exists(bait)) return bait;
  testing::make_directories(bait);
  testing::write_file(bait + "/old.csv", "bait");
  staging::ImportManifest m{std::string(kImportSchema),
                            id,
                            "gmail",
                            bait + "/old.csv",
                            bait + "/old.csv",
                            "old.csv",
                            4,
                            sha256_of("bait"),
                            rfc3339_seconds_ago(kEightDays),
                            true};
  testing::write_file(bait + "/request.json", *staging::serialize_manifest(m));
  age_path(bait, kEightDays);
  return bait;
}

std::vector<Case> cases() {
  std::vector<Case> list;
  const std::vector<std::string> bad_file{"invalid_file"};
  // The download road.
  list.push_back({"managed request directory is a link to the sentinel",
                  [](const Home& h, Rng& rng) {
                    std::string id = rng.request_id();
                    plant_link(h.outside_sentinel(), managed(h, id));
                    return download(id, managed(h, id) + "/f.csv");
                  },
                  bad_file});
  list.push_back({"\"Varquin Inbox\" reached through a link",
                  [](const Home& h, Rng& rng) {
                    std::string id = rng.request_id();
                    std::string real = h.root() + "/elsewhere/Varquin Inbox/" + id;
                    testing::make_directories(real);
                    testing::write_file(real + "/f.csv", "x");
                    plant_link(h.root() + "/elsewhere", h.root() + "/linked");
                    return download(id, h.root() + "/linked/Varquin Inbox/" + id + "/f.csv");
                  },
                  bad_file});
  list.push_back({"downloaded file is a link to a sentinel file",
                  [](const Home& h, Rng& rng) {
                    std::string id = rng.request_id();
                    testing::make_directories(managed(h, id));
                    plant_link(h.outside_sentinel() + "/precious.csv", managed(h, id) + "/f.csv");
                    return download(id, managed(h, id) + "/f.csv");
                  },
                  bad_file});
  list.push_back({"downloaded file is a link to another request's file",
                  [](const Home& h, Rng& rng) {
                    std::string id = rng.request_id(), other = rng.request_id();
                    testing::make_directories(managed(h, id));
                    testing::make_directories(managed(h, other));
                    testing::write_file(managed(h, other) + "/f.csv", "other");
                    plant_link(managed(h, other) + "/f.csv", managed(h, id) + "/f.csv");
                    return download(id, managed(h, id) + "/f.csv");
                  },
                  bad_file});
  list.push_back({"path climbs out with \"..\"",
                  [](const Home& h, Rng& rng) {
                    std::string id = rng.request_id(), other = rng.request_id();
                    testing::make_directories(managed(h, id));
                    testing::make_directories(managed(h, other));
                    testing::write_file(managed(h, other) + "/f.csv", "other");
                    return download(id, managed(h, id) + "/../" + other + "/f.csv");
                  },
                  bad_file});
  list.push_back({"file one level below the managed directory",
                  [](const Home& h, Rng& rng) {
                    std::string id = rng.request_id();
                    testing::make_directories(managed(h, id) + "/sub");
                    testing::write_file(managed(h, id) + "/sub/f.csv", "x");
                    return download(id, managed(h, id) + "/sub/f.csv");
                  },
                  bad_file});
  list.push_back({"relative path",
                  [](const Home&, Rng& rng) {
                    std::string id = rng.request_id();
                    return download(id, "Varquin Inbox/" + id + "/f.csv");
                  },
                  {"invalid_file", "invalid_request"}});
  list.push_back({"a FIFO at the path (must not hang)",
                  [](const Home& h, Rng& rng) {
                    std::string id = rng.request_id();
                    testing::make_directories(managed(h, id));
                    plant_fifo(managed(h, id) + "/f.csv");
                    return download(id, managed(h, id) + "/f.csv");
                  },
                  bad_file});
  list.push_back({"a directory at the path",
                  [](const Home& h, Rng& rng) {
                    std::string id = rng.request_id();
                    testing::make_directories(managed(h, id) + "/f.csv");
                    return download(id, managed(h, id) + "/f.csv");
                  },
                  bad_file});
  list.push_back({"file name differs from the attachment",
                  [](const Home& h, Rng& rng) {
                    std::string id = rng.request_id();
                    testing::make_directories(managed(h, id));
                    testing::write_file(managed(h, id) + "/g.csv", "x");
                    return std::vector<std::string>{
                        request::stage_download(id, managed(h, id) + "/g.csv", "f.csv")};
                  },
                  bad_file});
  // Clean-up of the managed directory.
  list.push_back({"clean-up of a request directory that is a link to the sentinel",
                  [](const Home& h, Rng& rng) {
                    std::string id = rng.request_id();
                    testing::make_directories(h.outside_sentinel() + "/empty-" + id);
                    plant_link(h.outside_sentinel() + "/empty-" + id, managed(h, id));
                    return std::vector<std::string>{request::cleanup(id, managed(h, id))};
                  },
                  bad_file});
  list.push_back({"clean-up of a request directory holding a link to the sentinel",
                  [](const Home& h, Rng& rng) {
                    std::string id = rng.request_id();
                    testing::make_directories(managed(h, id));
                    plant_link(h.outside_sentinel(), managed(h, id) + "/link");
                    return std::vector<std::string>{request::cleanup(id, managed(h, id))};
                  },
                  {"cleanup_failed"}});
  list.push_back({"clean-up of a directory outside \"Varquin Inbox\"",
                  [](const Home& h, Rng& rng) {
                    std::string id = rng.request_id();
                    testing::make_directories(h.outside_sentinel() + "/x/" + id);
                    return std::vector<std::string>{
                        request::cleanup(id, h.outside_sentinel() + "/x/" + id)};
                  },
                  bad_file});
  // Links in the store's roots and record paths.
  list.push_back({"a link named like a stage, to an old stage outside the store",
                  [](const Home& h, Rng& rng) {
                    std::string id = rng.request_id();
                    plant_link(bait_stage(h, id), h.imports() + "/" + id);
                    return request::upload(id, "old.csv", "bait", 1024);
                  },
                  bad_file});
  list.push_back({"a link named like an incoming directory, to a directory outside the store",
                  [](const Home& h, Rng& rng) {
                    std::string id = rng.request_id();
                    std::string link =
                        h.imports() + "/.incoming-" + id + "-" + std::string(32, 'a');
                    plant_link(bait_stage(h, id), link);
                    age_path(link, kEightDays);
                    // Any new stage runs the purge that must leave the link alone.
                    return request::upload(rng.request_id(), "new.csv", "new", 1024);
                  },
                  {"staged"}});
  list.push_back({"an old stage whose staged file is a link to a sentinel file",
                  [](const Home& h, Rng& rng) {
                    std::string id = rng.request_id();
                    plant_stage(h, id, "old.csv", "old", rfc3339_seconds_ago(kEightDays));
                    plant_link(h.outside_sentinel() + "/precious.csv",
                               h.imports() + "/" + id + "/old.csv");
                    return request::upload(rng.request_id(), "new.csv", "new", 1024);
                  },
                  {"staged"}});
  list.push_back({"an old stage holding a link to the sentinel directory",
                  [](const Home& h, Rng& rng) {
                    std::string id = rng.request_id();
                    plant_stage(h, id, "old.csv", "old", rfc3339_seconds_ago(kEightDays));
                    plant_link(h.outside_sentinel(), h.imports() + "/" + id + "/d");
                    return request::upload(rng.request_id(), "new.csv", "new", 1024);
                  },
                  {"staged"}});
  list.push_back({"a stage whose request.json is a link to a manifest outside the store",
                  [](const Home& h, Rng& rng) {
                    std::string id = rng.request_id();
                    std::string bait = bait_stage(h, id);
                    testing::make_directories(h.imports() + "/" + id);
                    plant_link(bait + "/request.json", h.imports() + "/" + id + "/request.json");
                    return request::upload(id, "old.csv", "bait", 1024);
                  },
                  bad_file});
  list.push_back({"launch of a stage whose request.json is a link",
                  [](const Home& h, Rng& rng) {
                    std::string id = rng.request_id();
                    std::string bait = bait_stage(h, id);
                    testing::make_directories(h.imports() + "/" + id);
                    plant_link(bait + "/request.json", h.imports() + "/" + id + "/request.json");
                    return std::vector<std::string>{request::launch(id)};
                  },
                  {"request_missing", "request_conflict", "invalid_file"}});
  list.push_back({"a terminal record that is a link to a record outside the store",
                  [](const Home& h, Rng& rng) {
                    std::string id = rng.request_id();
                    std::string bait = h.outside_sentinel() + "/terminal-" + id + ".json";
                    staging::TerminalRecord record{std::string(kImportSchema),
                                                   id,
                                                   "gmail",
                                                   h.imports() + "/" + id + "/t.csv",
                                                   "t.csv",
                                                   1,
                                                   sha256_of("t"),
                                                   rfc3339_seconds_ago(kEightDays)};
                    testing::write_file(bait, *staging::serialize_terminal_record(record));
                    plant_link(bait, h.terminals() + "/" + id + ".json");
                    return request::upload(id, "t.csv", "t", 1024);
                  },
                  bad_file});
  // Records that must never hold the bridge (and with it the staging lock) or its memory.
  list.push_back({"a FIFO as the request's request.json (must not hang)",
                  [](const Home& h, Rng& rng) {
                    std::string id = rng.request_id();
                    testing::make_directories(h.imports() + "/" + id);
                    plant_fifo(h.imports() + "/" + id + "/request.json");
                    return request::upload(id, "f.csv", "x", 1024);
                  },
                  {"request_conflict"}});
  list.push_back({"a FIFO as the request's terminal record (must not hang)",
                  [](const Home& h, Rng& rng) {
                    std::string id = rng.request_id();
                    plant_fifo(h.terminals() + "/" + id + ".json");
                    return request::upload(id, "f.csv", "x", 1024);
                  },
                  {"request_conflict"}});
  list.push_back({"a sparse 1 TiB request.json of the request",
                  [](const Home& h, Rng& rng) {
                    std::string id = rng.request_id();
                    testing::make_directories(h.imports() + "/" + id);
                    plant_sparse_terabyte(h.imports() + "/" + id + "/request.json");
                    return request::upload(id, "f.csv", "x", 1024);
                  },
                  {"request_conflict"}});
  list.push_back({"FIFOs and sparse 1 TiB records of other requests (purge and census pass)",
                  [](const Home& h, Rng& rng) {
                    for (int i = 0; i < 2; ++i) {
                      std::string stage = h.imports() + "/" + rng.request_id();
                      testing::make_directories(stage);
                      if (i == 0) plant_fifo(stage + "/request.json");
                      if (i == 1) plant_sparse_terabyte(stage + "/request.json");
                    }
                    plant_fifo(h.terminals() + "/" + rng.request_id() + ".json");
                    plant_sparse_terabyte(h.terminals() + "/" + rng.request_id() + ".json");
                    return request::upload(rng.request_id(), "f.csv", "x", 1024);
                  },
                  {"staged"}});
  list.push_back({"an expired incoming tree 10,000 levels deep, under 256 descriptors",
                  [](const Home& h, Rng& rng) {
                    const std::string deep =
                        h.imports() + "/.incoming-" + rng.request_id() + "-" + std::string(32, 'd');
                    planted(testing::make_deep_tree(deep, 10'000, ""), "a deep tree in " + deep);
                    age_path(deep, kEightDays);
                    return request::upload(rng.request_id(), "f.csv", "x", 1024);
                  },
                  {"staged"},
                  [](const Home& h) -> std::string {
                    for (const std::string& name : testing::list_names(h.imports())) {
                      if (name.starts_with(".incoming-")) return "the deep tree is still there";
                    }
                    return {};
                  },
                  256});
  // Malformed requests on the upload road.
  const std::vector<std::string> bad_ids{"",
                                         "../etc",
                                         "0f8fad5b-d9cb-469f-a165-70867728950",
                                         "{0f8fad5b-d9cb-469f-a165-70867728950e}",
                                         "urn:uuid:0f8fad5b-d9cb-469f-a165-70867728950e",
                                         "0f8fad5bd9cb469fa16570867728950e",
                                         "0f8fad5b-d9cb-469f-a165-70867728950e\n",
                                         "0f8fad5b-d9cb-469f-a165-70867728950\xc3\xa9"};
  for (const std::string& id : bad_ids) {
    list.push_back({"request ID \"" + id + "\" on the upload road",
                    [id](const Home&, Rng&) { return request::upload(id, "a.csv", "x", 1024); },
                    {"invalid_request", "invalid_file"}});
    list.push_back({"request ID \"" + id + "\" on the download road",
                    [id](const Home& h, Rng&) { return download(id, managed(h, id) + "/f.csv"); },
                    {"invalid_request", "invalid_file"}});
  }
  const std::vector<std::string> bad_names{"../x.csv",
                                           "a/b.csv",
                                           "a\\b.csv",
                                           ".csv",
                                           "x.exe",
                                           "report.csv ",
                                           "..",
                                           ".",
                                           "x\x01.csv",
                                           "x\xc2\x85.csv",
                                           std::string(252, 'n') + ".csv",
                                           "report"};
  for (const std::string& name : bad_names) {
    list.push_back({"attachment name \"" + name.substr(0, 24) + "\"",
                    [name](const Home&, Rng& rng) {
                      return request::upload(rng.request_id(), name, "x", 1024);
                    },
                    {"invalid_file", "invalid_request"}});
  }
  list.push_back({"chunks out of order",
                  [](const Home&, Rng& rng) {
                    std::string id = rng.request_id();
                    return std::vector<std::string>{request::begin(id, "a.csv", 2),
                                                    request::chunk_of(id, 1, "x")};
                  },
                  {"invalid_request"}});
  list.push_back({"a commit of fewer bytes than announced",
                  [](const Home&, Rng& rng) {
                    std::string id = rng.request_id();
                    return std::vector<std::string>{request::begin(id, "a.csv", 5),
                                                    request::chunk_of(id, 0, "x"),
                                                    request::commit(id)};
                  },
                  {"attachment_size_mismatch"}});
  list.push_back({"an attachment announced one byte over 64 MiB",
                  [](const Home&, Rng& rng) {
                    return std::vector<std::string>{
                        request::begin(rng.request_id(), "a.csv", (64u << 20) + 1)};
                  },
                  {"file_too_large"}});
  list.push_back({"a commit without an upload",
                  [](const Home&, Rng& rng) {
                    return std::vector<std::string>{request::commit(rng.request_id())};
                  },
                  {"invalid_request"}});
  return list;
}

}  // namespace

void run_hostile(const Options& options, Ledger& ledger) {
  Home home;
  unsigned index = 0;
  for (const Case& c : cases()) run_case(options, home, c, index++, ledger);
  const Sentinels sentinels = take_sentinels(home);
  for (unsigned round = 0; round < options.race_rounds; ++round) {
    if (round % 2 == 0) {
      expiry_race(options, home, round, ledger);
    } else {
      rollback_race(options, home, round, ledger);
    }
    if (round % 16 == 15) check_sentinels(home, sentinels, ledger, kSection);
  }
  check_sentinels(home, sentinels, ledger, kSection);
}

}  // namespace varquin::stress
