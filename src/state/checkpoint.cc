// Checkpoint file format.  8-bit text, every line ends with LF, fields are
// separated by single tabs:
//
//   max_event_time<TAB><int64>
//   window_origin<TAB><int64>
//   seen_event_ids<TAB><N>
//   <id>                                     N lines, ascending byte order
//   window_state<TAB><M>
//   <key><TAB><sum><TAB><count><TAB><start><TAB><end><TAB><group>
//                                            M lines, ascending key order
//   [aggs_state<TAB>1<TAB><n> and n lines]   only while aggregate windows are
//                                            open; see agg_windows.cc
//
// Integers are plain decimal.  The sum is written in the shortest form that
// reads back to the same double; files holding six-digit sums load as well.
// The reader is positional: labels are words that are read and ignored.
// Numbers are read as a C++ input stream reads them (leading blanks skipped,
// optional sign, digits); a number that cannot be read counts as 0 and ends
// the reading of its stream: at the top level nothing after it is read, in a
// window line the rest of that line stays 0 or empty.  Counts that announce
// more lines than the file holds stop at its end.  Nothing is escaped, so a
// state whose ids or keys hold a line feed (or a key a tab) is refused by
// the writer.  Window keys and groups must be UTF-8 (a group comes out to
// Python as text); a file where one is not is refused by the load.
#include "state/checkpoint.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "model/utf8.h"

namespace movra {

namespace {

bool is_stream_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

void append_int(std::string& out, std::int64_t v) {
  char buf[24];
  auto res = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, res.ptr);
}

void append_uint(std::string& out, std::uint64_t v) {
  char buf[24];
  auto res = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, res.ptr);
}

void append_sum(std::string& out, double v) {
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, res.ptr);
}

// A read cursor with the extraction rules of a C++ input stream: once a read
// fails the cursor is failed and every later read yields nothing.
class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}

  bool ok() const { return !failed_; }
  bool at_end() const { return pos_ >= text_.size(); }
  std::size_t remaining() const { return at_end() ? 0 : text_.size() - pos_; }

  void skip_space() {
    while (pos_ < text_.size() && is_stream_space(text_[pos_])) ++pos_;
  }

  // A whitespace-delimited word; fails at the end of the text.
  void skip_word() {
    if (failed_) return;
    skip_space();
    if (at_end()) {
      failed_ = true;
      return;
    }
    while (pos_ < text_.size() && !is_stream_space(text_[pos_])) ++pos_;
  }

  // Skips blanks and an optional sign before a number.  False, with the
  // reader failed, at the end of the text or after an earlier failure.
  bool begin_number(bool& negative) {
    if (failed_) return false;
    skip_space();
    if (at_end()) {
      failed_ = true;
      return false;
    }
    if (text_[pos_] == '+' || text_[pos_] == '-') {
      negative = text_[pos_] == '-';
      ++pos_;
    }
    return true;
  }

  // Reads an integer into out.  At the end of the text (or after an earlier
  // failure) out is left alone; text that is not a number stores 0, and a
  // number out of range stores the nearest bound; both fail the reader.
  template <typename Int>
  void read_integer(Int& out) {
    bool negative = false;
    if (!begin_number(negative)) return;
    const std::size_t digits = pos_;
    while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9') ++pos_;
    if (pos_ == digits || (negative && std::is_unsigned_v<Int>)) {
      failed_ = true;
      out = 0;
      return;
    }
    // from_chars takes the minus sign itself; a plus sign is skipped.
    const char* first = text_.data() + (negative ? digits - 1 : digits);
    Int value = 0;
    auto res = std::from_chars(first, text_.data() + pos_, value);
    if (res.ec != std::errc()) {
      failed_ = true;
      out = negative ? std::numeric_limits<Int>::min() : std::numeric_limits<Int>::max();
      return;
    }
    out = value;
  }

  // A decimal or exponent form, with the rules of read_integer; also inf,
  // -inf and nan, so that a sum that overflowed or met a NaN survives a save
  // and load.
  void read_double(double& out) {
    bool negative = false;
    if (!begin_number(negative)) return;
    const std::size_t body = pos_;
    for (std::string_view word : {"inf", "nan"}) {
      if (text_.substr(body, 3) == word) {
        pos_ = body + 3;
        const double v = word == "inf" ? std::numeric_limits<double>::infinity()
                                       : std::numeric_limits<double>::quiet_NaN();
        out = negative ? -v : v;
        return;
      }
    }
    std::size_t mantissa_digits = 0;
    auto skip_digits = [&](std::size_t& i) {
      std::size_t count = 0;
      while (i < text_.size() && text_[i] >= '0' && text_[i] <= '9') ++i, ++count;
      return count;
    };
    mantissa_digits += skip_digits(pos_);
    if (pos_ < text_.size() && text_[pos_] == '.') {
      ++pos_;
      mantissa_digits += skip_digits(pos_);
    }
    bool bad = mantissa_digits == 0;
    if (!bad && pos_ < text_.size() && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
      std::size_t exp = pos_ + 1;
      if (exp < text_.size() && (text_[exp] == '+' || text_[exp] == '-')) ++exp;
      bad = skip_digits(exp) == 0;
      pos_ = exp;
    }
    double value = 0.0;
    if (!bad) {
      auto res = std::from_chars(text_.data() + body, text_.data() + pos_, value);
      bad = res.ec != std::errc();
    }
    if (bad) {
      failed_ = true;
      out = 0.0;
      return;
    }
    out = negative ? -value : value;
  }

  // Skips exactly one character, if there is one.
  void skip_char() {
    if (failed_) return;
    if (at_end()) {
      failed_ = true;
      return;
    }
    ++pos_;
  }

  // Discards everything up to and including the next line feed.
  void skip_line() {
    if (failed_) return;
    const std::size_t nl = text_.find('\n', pos_);
    pos_ = nl == std::string_view::npos ? text_.size() : nl + 1;
  }

  // The next line without its line feed; false at the end of the text.
  bool read_line(std::string_view& line) {
    if (failed_ || at_end()) {
      failed_ = true;
      return false;
    }
    const std::size_t nl = text_.find('\n', pos_);
    const std::size_t end = nl == std::string_view::npos ? text_.size() : nl;
    line = text_.substr(pos_, end - pos_);
    pos_ = nl == std::string_view::npos ? text_.size() : nl + 1;
    return true;
  }

  // Everything that is left.
  std::string_view rest() {
    if (failed_) return {};
    std::string_view r = text_.substr(pos_);
    pos_ = text_.size();
    return r;
  }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
  bool failed_ = false;
};

WindowAggregate parse_window_fields(std::string_view fields) {
  WindowAggregate agg;
  Reader r(fields);
  r.read_double(agg.sum);
  r.skip_char();
  r.read_integer(agg.count);
  r.skip_char();
  r.read_integer(agg.window_start);
  r.skip_char();
  r.read_integer(agg.window_end);
  r.skip_char();
  if (r.ok()) agg.group = std::string(r.rest());
  return agg;
}

bool write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

std::string directory_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Follows path while it names a symbolic link and stores the first name that
// does not (it may not exist yet: a dangling link names the file to create).
// False for a loop or a link that cannot be read.
bool resolve_links(const std::string& path, std::string& out) {
  constexpr int kMaxLinks = 40;  // as the kernel's own limit
  out = path;
  for (int hop = 0; hop < kMaxLinks; ++hop) {
    struct stat st;
    if (::lstat(out.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return true;
    std::string target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 256) + 1, '\0');
    const ssize_t n = ::readlink(out.c_str(), target.data(), target.size());
    if (n <= 0 || static_cast<std::size_t>(n) >= target.size()) return false;
    target.resize(static_cast<std::size_t>(n));
    out = target.front() == '/' ? target : directory_of(out) + "/" + target;
  }
  return false;
}

// Creates a new file with a short unique name in dir: short, so that a
// target whose own name is near the 255-byte limit still has room beside it.
// mode is given to open(), under the process's umask.
int create_temporary(const std::string& dir, mode_t mode, std::string& tmp) {
  static std::atomic<unsigned> sequence{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    tmp = dir + "/.ckpt-" + std::to_string(::getpid()) + "-" +
          std::to_string(sequence.fetch_add(1, std::memory_order_relaxed));
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

bool window_representable(const WindowTable::View& w) {
  return w.key.find_first_of("\n\t") == std::string_view::npos &&
         w.group.find('\n') == std::string_view::npos;
}

}  // namespace

bool checkpoint_representable(const ProcessorState& state) {
  if (state.seen_event_ids.any_line_feed()) return false;
  bool ok = true;
  state.window_state.for_each([&](const WindowTable::View& w) {
    ok = ok && window_representable(w);
  });
  return ok;
}

std::string checkpoint_text(const ProcessorState& state) {
  std::string out;
  checkpoint_text_checked(state, out);
  return out;
}

bool checkpoint_text_checked(const ProcessorState& state, std::string& out) {
  if (state.seen_event_ids.any_line_feed()) return false;
  out.clear();
  std::size_t size_hint = 128;
  size_hint += state.seen_event_ids.total_bytes() + state.seen_event_ids.size();
  // A window line is about twice its key plus the numbers; guessed rather
  // than measured, which would take another walk of the map.  A short guess
  // costs one reallocation, a long one only address space.
  size_hint += state.window_state.size() * 128;
  out.reserve(size_hint);

  out += "max_event_time\t";
  append_int(out, state.max_event_time);
  out += "\nwindow_origin\t";
  append_int(out, state.window_origin);
  out += "\nseen_event_ids\t";
  append_uint(out, state.seen_event_ids.size());
  out += '\n';
  // The id lines have a known length: size the text once and copy into it.
  const std::vector<std::string>& ids = state.seen_event_ids.ids();
  std::size_t at = out.size();
  out.resize(at + state.seen_event_ids.total_bytes() + ids.size());
  for (const std::uint32_t i : state.seen_event_ids.ordered()) {
    const std::string& id = ids[i];
    std::memcpy(out.data() + at, id.data(), id.size());
    at += id.size();
    out[at++] = '\n';
  }
  out += "window_state\t";
  append_uint(out, state.window_state.size());
  out += '\n';
  // The windows are put in key order here, at the save, and only here.
  bool ok = true;
  state.window_state.for_each_in_key_order([&](const WindowTable::View& w) {
    if (!ok || !(ok = window_representable(w))) return;
    out += w.key;
    out += '\t';
    append_sum(out, w.sum);
    out += '\t';
    append_uint(out, w.count);
    out += '\t';
    append_int(out, w.window_start);
    out += '\t';
    append_int(out, w.window_end);
    out += '\t';
    out += w.group;
    out += '\n';
  });
  state.aggs.save(out);
  return ok;
}

ProcessorState parse_checkpoint_text(std::string_view text) {
  ProcessorState state;
  Reader r(text);
  r.skip_word();
  r.read_integer(state.max_event_time);
  r.skip_word();
  r.read_integer(state.window_origin);
  r.skip_word();
  std::uint64_t ids = 0;
  r.read_integer(ids);
  r.skip_line();
  // Room for the announced ids, but no more than one per eight bytes left:
  // a count that lies cannot make a small file take much memory, and ids
  // shorter than that only cost a rehash or two.
  state.seen_event_ids.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(ids, r.remaining() / 8)));
  // Lines are taken sixteen at a time and their table slots loaded before
  // any is inserted, so that the cache misses overlap.
  constexpr std::size_t kGroup = 16;
  std::string_view group[kGroup];
  std::uint64_t left = ids;
  bool more = true;
  while (more && left != 0) {
    std::size_t n = 0;
    while (n < kGroup && left != 0 && (more = r.read_line(group[n]))) {
      state.seen_event_ids.prefetch(group[n]);
      ++n;
      --left;
    }
    for (std::size_t k = 0; k < n; ++k) state.seen_event_ids.insert(group[k]);
  }
  std::string_view line;
  r.skip_word();
  std::uint64_t windows = 0;
  r.read_integer(windows);
  r.skip_line();
  for (std::uint64_t i = 0; i < windows && r.read_line(line); ++i) {
    const std::size_t tab = line.find('\t');
    const WindowAggregate agg =
        tab == std::string_view::npos ? WindowAggregate{} : parse_window_fields(line.substr(tab + 1));
    // A repeated key replaces the earlier line's window.
    state.window_state.assign(line.substr(0, tab), agg);
  }
  // Lines after today's sections: the aggregate windows' extension, or
  // nothing this reader knows.
  if (r.ok()) state.aggs.load(r.rest());
  return state;
}

bool checkpoint_windows_are_utf8(const ProcessorState& state) {
  bool ok = true;
  state.window_state.for_each([&](const WindowTable::View& w) {
    ok = ok && is_valid_utf8(w.key) && is_valid_utf8(w.group);
  });
  return ok && state.aggs.strings_are_utf8();
}

bool write_file_atomically(const std::string& path, std::string_view text) {
  std::string target;
  if (!resolve_links(path, target)) return false;
  struct stat existing;
  bool exists = false;
  if (::lstat(target.c_str(), &existing) == 0) {
    // A device or FIFO is not replaced by a file (as root, that would swap
    // /dev/null for one) nor written into: a checkpoint belongs in a
    // regular file, the only kind a load reads back.
    if (!S_ISREG(existing.st_mode)) {
      errno = S_ISDIR(existing.st_mode) ? EISDIR : EINVAL;
      return false;
    }
    exists = true;
  } else if (errno != ENOENT) {
    return false;
  }

  std::string tmp;
  // The temporary of a replacement starts open to its owner only: nobody
  // the target's bits shut out may open it before the fchmod below.
  const int fd = create_temporary(directory_of(target), exists ? 0600 : 0666, tmp);
  if (fd < 0) return false;
  // A replaced checkpoint keeps its permission bits; a new one gets the
  // mode that open() gives under the process's umask.
  bool ok = !exists || ::fchmod(fd, existing.st_mode & 07777) == 0;
  ok = ok && write_all(fd, text) && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  if (ok) ok = ::rename(tmp.c_str(), target.c_str()) == 0;
  if (!ok) {
    const int failed = errno;  // the caller reports it; unlink must not replace it
    ::unlink(tmp.c_str());
    errno = failed;
    return false;
  }
  // Make the rename itself durable; a directory that cannot be synced does
  // not undo a save that is already in place.
  const int dir = ::open(directory_of(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return true;
}

bool read_whole_file(const std::string& path, std::string& out) {
  // Only a regular file is opened: a FIFO would block in open() until a
  // writer came, a device such as /dev/zero would never end.  The check is
  // made again on the open descriptor, in case the name changed meanwhile;
  // O_NONBLOCK keeps that open from blocking on a FIFO swapped in.
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return false;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return false;
  }
  // Read straight into out, sized by the file; a file that grows meanwhile
  // is read to its end all the same.
  std::size_t length = 0;
  out.resize(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 0) + 1);
  while (true) {
    if (length == out.size()) out.resize(2 * out.size());
    const ssize_t n = ::read(fd, out.data() + length, out.size() - length);
    if (n < 0) {
      if (errno == EINTR) continue;
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    length += static_cast<std::size_t>(n);
  }
  ::close(fd);
  out.resize(length);
  return true;
}

}  // namespace movra
