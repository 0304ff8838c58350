#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <string>

#include "state/checkpoint.h"
#include "test.h"

using namespace movra;

namespace {
// The permission bits a file had when fchmod was last called on it.
mode_t g_bits_before_fchmod = 0;
}  // namespace

// Every fchmod of this test binary comes here first, so that a test can see
// the bits a temporary was created with before the save changed them.
extern "C" int fchmod(int fd, mode_t mode) noexcept {
  struct stat st;
  if (::fstat(fd, &st) == 0) g_bits_before_fchmod = st.st_mode & 07777;
  return static_cast<int>(::syscall(SYS_fchmod, fd, mode));
}

TEST(new_state_text) {
  CHECK_EQ(checkpoint_text(ProcessorState{}),
           std::string("max_event_time\t-9223372036854775808\nwindow_origin\t-9223372036854775808\n"
                       "seen_event_ids\t0\nwindow_state\t0\n"));
}

TEST(round_trip_keeps_sums_exact) {
  ProcessorState s;
  s.max_event_time = 120000;
  s.window_origin = 1700000000123;
  for (const char* id : {"b", "c", "a", "with space", "tab\tinside"}) s.seen_event_ids.insert(id);
  s.window_state["60000|x"] = WindowAggregate{301.25, 2, 60000, 120000, "x"};
  s.window_state["0|"] = WindowAggregate{123456789.123456789, 7, 0, 60000, ""};
  s.window_state["5|inf"] = WindowAggregate{std::numeric_limits<double>::infinity(), 1, 5, 6, "inf"};
  const std::string text = checkpoint_text(s);
  CHECK(text.find("60000|x\t301.25\t2\t60000\t120000\tx\n") != std::string::npos);
  CHECK(text.find("seen_event_ids\t5\na\nb\nc\ntab\tinside\nwith space\n") != std::string::npos);
  CHECK(parse_checkpoint_text(text) == s);
}

TEST(reader_rules) {
  // Labels are ignored; a short file keeps the defaults.
  ProcessorState s = parse_checkpoint_text("other_label\t5\n");
  CHECK_EQ(s.max_event_time, 5);
  CHECK_EQ(s.window_origin, kInt64Min);
  // A count larger than the lines present.
  s = parse_checkpoint_text("m\t1\nw\t2\nids\t3\nonly\n");
  CHECK_EQ(s.seen_event_ids.size(), 1u);
  CHECK(s.window_state.empty());
  // A repeated key keeps the later line; a six-digit sum still loads.
  s = parse_checkpoint_text("m 1\nw 2\nids 0\nws 2\nk\t1.23457e+06\t1\t0\t10\tg\nk\t2\t3\t4\t5\th\n");
  CHECK_EQ(s.window_state.size(), 1u);
  CHECK(s.window_state["k"] == (WindowAggregate{2.0, 3, 4, 5, "h"}));
  // A number that cannot be read is 0 and ends the stream.
  s = parse_checkpoint_text("m x\nw 2\nids 1\na\n");
  CHECK_EQ(s.max_event_time, 0);
  CHECK_EQ(s.window_origin, kInt64Min);
  CHECK(s.seen_event_ids.empty());
  // Inside a window line, the rest of the line stays 0 or empty.
  s = parse_checkpoint_text("m 1\nw 2\nids 0\nws 1\nk\t2.5\tbad\t4\t5\tg\n");
  CHECK(s.window_state["k"] == (WindowAggregate{2.5, 0, 0, 0, ""}));
  CHECK(parse_checkpoint_text("") == ProcessorState{});
}

// A file written by hand may hold ids and keys out of order or repeated,
// and a count far beyond its lines: the state holds each once and writes
// them back in order.
TEST(unordered_and_repeated_lines_load_and_save_in_order) {
  ProcessorState s = parse_checkpoint_text(
      "m 1\nw 2\nids 5\nb\na\nb\n\nc\nws 3\nk2\t1\t1\t0\t1\tx\nk1\t2\t1\t0\t1\ty\nk2\t3\t1\t0\t1\tz\n");
  CHECK_EQ(checkpoint_text(s),
           std::string("max_event_time\t1\nwindow_origin\t2\nseen_event_ids\t4\n\na\nb\nc\n"
                       "window_state\t2\nk1\t2\t1\t0\t1\ty\nk2\t3\t1\t0\t1\tz\n"));
  s = parse_checkpoint_text("m 1\nw 2\nids 18446744073709551615\nonly\n");
  CHECK_EQ(s.seen_event_ids.size(), 1u);
}

TEST(unrepresentable_states_are_detected) {
  ProcessorState s;
  std::string text;
  s.seen_event_ids.insert("line\nfeed");
  CHECK(!checkpoint_representable(s));
  CHECK(!checkpoint_text_checked(s, text));
  s.seen_event_ids.clear();
  s.seen_event_ids.insert("fine");
  s.window_state["0|a"] = WindowAggregate{1, 1, 0, 1, "a"};
  CHECK(checkpoint_text_checked(s, text));
  CHECK_EQ(text, checkpoint_text(s));
  s.window_state["0|a\tb"] = WindowAggregate{1, 1, 0, 1, "a\tb"};
  CHECK(!checkpoint_representable(s));
  CHECK(!checkpoint_text_checked(s, text));
  s.window_state.erase("0|a\tb");
  s.window_state["1|c"] = WindowAggregate{1, 1, 0, 1, "line\nfeed"};
  CHECK(!checkpoint_representable(s));
  CHECK(!checkpoint_text_checked(s, text));
}

TEST(atomic_write_follows_a_chain_of_links_and_refuses_a_loop) {
  char dir[] = "/tmp/movra_ckpt_XXXXXX";
  CHECK(mkdtemp(dir) != nullptr);
  const std::string d(dir);
  CHECK(symlink("b", (d + "/a").c_str()) == 0);
  CHECK(symlink((d + "/c").c_str(), (d + "/b").c_str()) == 0);
  CHECK(write_file_atomically(d + "/a", "chained\n"));
  std::string got;
  CHECK(read_whole_file(d + "/c", got));
  CHECK_EQ(got, std::string("chained\n"));
  CHECK(symlink("loop", (d + "/loop").c_str()) == 0);
  CHECK(!write_file_atomically(d + "/loop", "x"));
  for (const char* name : {"/a", "/b", "/c", "/loop"}) std::remove((d + name).c_str());
  CHECK(rmdir(dir) == 0);  // no temporary left behind
}

TEST(atomic_write_leaves_target_on_failure) {
  char dir[] = "/tmp/movra_ckpt_XXXXXX";
  CHECK(mkdtemp(dir) != nullptr);
  const std::string path = std::string(dir) + "/state.ckpt";
  CHECK(write_file_atomically(path, "first\n"));
  std::string got;
  CHECK(read_whole_file(path, got));
  CHECK_EQ(got, std::string("first\n"));
  CHECK(!write_file_atomically(std::string(dir) + "/missing/state.ckpt", "x"));
  CHECK(!read_whole_file(std::string(dir) + "/missing", got));
  std::remove(path.c_str());
  rmdir(dir);
}

TEST(atomic_write_never_opens_a_private_target_to_others) {
  // A target only its owner may read is replaced through a temporary that
  // nobody else could open either, whatever the umask lets through.
  char dir[] = "/tmp/movra_ckpt_XXXXXX";
  CHECK(mkdtemp(dir) != nullptr);
  const std::string path = std::string(dir) + "/private.ckpt";
  CHECK(write_file_atomically(path, "first\n"));
  CHECK(chmod(path.c_str(), 0600) == 0);
  const mode_t saved = umask(0);
  g_bits_before_fchmod = 0;
  CHECK(write_file_atomically(path, "secret\n"));
  umask(saved);
  CHECK_EQ(g_bits_before_fchmod & 077, mode_t{0});
  struct stat st;
  CHECK(stat(path.c_str(), &st) == 0);
  CHECK_EQ(st.st_mode & 07777, mode_t{0600});
  std::remove(path.c_str());
  CHECK(rmdir(dir) == 0);
}

// Ids that share long prefixes, hold NUL and high bytes, tie in the eight
// bytes the lazy sort keys on, or are empty, put in by inserts and loads in
// any interleaving with saves, copies and clears: every save is the text an
// ordered set of the same ids gives, and loading it gives the state back.
TEST(saves_match_an_ordered_set_model_whatever_the_history) {
  std::uint64_t rng = 0x9E3779B97F4A7C15ull;
  const auto next = [&rng](unsigned n) {
    rng ^= rng << 13, rng ^= rng >> 7, rng ^= rng << 17;
    return static_cast<unsigned>(rng % n);
  };
  const char bytes[] = {'a', '\0', 'b', '\x7f', '\x80', '\xff', '0', 'z'};
  for (int round = 0; round < 300; ++round) {
    ProcessorState state;
    std::set<std::string> model;
    const std::string prefix(next(4) == 0 ? next(40) : next(3), 'p');
    for (int step = 0, steps = 1 + static_cast<int>(next(300)); step < steps; ++step) {
      const unsigned op = next(100);
      if (op < 80) {
        std::string id = prefix;
        for (unsigned k = 0, n = next(5) == 0 ? next(30) : next(12); k < n; ++k) {
          id.push_back(bytes[next(next(2) != 0 ? 3 : 8)]);
        }
        if (next(10) == 0) id.clear();
        CHECK_EQ(state.seen_event_ids.insert(id), model.insert(id).second);
      } else if (op < 95) {
        std::string expected = "max_event_time\t" + std::to_string(kInt64Min) + "\nwindow_origin\t" +
                               std::to_string(kInt64Min) + "\nseen_event_ids\t" +
                               std::to_string(model.size()) + "\n";
        for (const std::string& id : model) expected += id + "\n";
        expected += "window_state\t0\n";
        std::string text;
        CHECK(checkpoint_text_checked(state, text));
        CHECK(text == expected);
        ProcessorState loaded = parse_checkpoint_text(text);
        CHECK(loaded == state);
        if (next(2) != 0) state = loaded;
      } else if (op < 97) {
        state.seen_event_ids.clear();
        model.clear();
      } else {
        const ProcessorState copy = state;
        state = copy;
      }
    }
  }
}
