// kvfx: applies the library's effects to image files from the command line.
//
// Exit status: 0 success, 1 a file could not be read, decoded, processed or
// written, 2 a malformed command line (unknown effect, option or parameter, bad
// value, a parameter given twice, an output type no writer handles).
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "demo.h"
#include "effects.h"
#include "image_io.h"
#include "kelvo_fx.h"

using namespace kvfx_tool;

namespace {

constexpr int kFailed = 1;
constexpr int kUsage = 2;

int complain(const std::string& message, int code) {
  std::fprintf(stderr, "kvfx: %s\n", message.c_str());
  return code;
}

std::string basename_of(const std::string& path) {
  size_t end = path.find_last_not_of('/');
  if (end == std::string::npos) return path;
  size_t slash = path.find_last_of('/', end);
  return path.substr(slash == std::string::npos ? 0 : slash + 1, end - (slash == std::string::npos ? 0 : slash + 1) + 1);
}

// Options before the positional arguments; what they leave is in `rest`.
struct Options {
  Limits limits;
  WriteOptions write;
  int32_t threads = 0;  // automatic
  bool batch = false;
  std::string out_dir;
  std::vector<std::string> rest;
};

uint64_t parse_max_pixels(const std::string& text) {
  const bool digits = !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
  errno = 0;
  const unsigned long long v = digits ? std::strtoull(text.c_str(), nullptr, 10) : 0;
  if (!digits || errno == ERANGE || v < 1 || v > kMaxPixelLimit)
    throw UsageError("--max-pixels: '" + text + "' is not a pixel count from 1 to " +
                     std::to_string(kMaxPixelLimit));
  return v;
}

// More than any machine's CPUs; the library uses no more than the process may.
constexpr int kMaxThreads = 4096;

int32_t parse_threads(const std::string& text) {
  const bool digits = !text.empty() && text.size() <= 4 &&
                      text.find_first_not_of("0123456789") == std::string::npos;
  const int v = digits ? std::atoi(text.c_str()) : -1;
  if (v < 0 || v > kMaxThreads)
    throw UsageError("--threads: '" + text + "' is not a thread count from 0 (automatic) to " +
                     std::to_string(kMaxThreads));
  return v;
}

int parse_quality(const std::string& text) {
  const bool digits = !text.empty() && text.size() <= 3 &&
                      text.find_first_not_of("0123456789") == std::string::npos;
  const int v = digits ? std::atoi(text.c_str()) : 0;
  if (v < 1 || v > 100)
    throw UsageError("--quality: '" + text + "' is not a JPEG quality from 1 to 100");
  return v;
}

// An output no writer handles is a mistake in the command line, found before
// any input is read.
void check_output_type(const std::string& out) {
  try {
    format_for_path(out);
  } catch (const Failure& e) {
    throw UsageError(e.what());
  }
}

Options parse_options(const std::vector<std::string>& args) {
  Options o;
  size_t i = 1;
  while (i < args.size() && args[i].rfind("--", 0) == 0 && args[i] != "--") {
    const std::string& a = args[i];
    auto value = [&](const std::string& name) -> std::string {
      if (a.size() > name.size() && a[name.size()] == '=') return a.substr(name.size() + 1);
      if (a != name) throw UsageError("unknown option '" + a + "' (see kvfx help)");
      if (i + 1 >= args.size()) throw UsageError(name + " needs a value");
      return args[++i];
    };
    if (a.rfind("--max-pixels", 0) == 0) {
      o.limits.max_pixels = parse_max_pixels(value("--max-pixels"));
    } else if (a.rfind("--threads", 0) == 0) {
      o.threads = parse_threads(value("--threads"));
    } else if (a.rfind("--quality", 0) == 0) {
      o.write.jpeg_quality = parse_quality(value("--quality"));
    } else if (a.rfind("--out-dir", 0) == 0) {
      o.batch = true;
      o.out_dir = value("--out-dir");
      if (o.out_dir.empty()) throw UsageError("--out-dir needs a directory");
      ++i;
      break;  // the files follow
    } else {
      throw UsageError("unknown option '" + a + "' (see kvfx help)");
    }
    ++i;
  }
  o.rest.assign(args.begin() + static_cast<long>(i), args.end());
  return o;
}

void refuse_terminal_stdin(const std::string& in) {
  if (in == "-" && isatty(STDIN_FILENO))
    throw Failure("stdin is a terminal: pipe an image in, or name an input file");
}

int run_single(const Options& o) {
  const std::vector<std::string>& a = o.rest;
  if (a.size() < 2) return complain("expected IN OUT EFFECT ... (see kvfx help)", kUsage);
  const std::string& in = a[0];
  const std::string& out = a[1];
  std::vector<EffectCall> chain = parse_chain(a, 2);
  check_output_type(out);
  // An unusable OUT is refused before any work.
  check_output(out);
  refuse_terminal_stdin(in);
  Image image = load_image(in, o.limits);
  apply_chain(image, chain, o.threads);
  save_image(image, out, o.write);
  return 0;
}

int run_batch(const Options& o) {
  const std::vector<std::string>& a = o.rest;
  size_t sep = 0;
  while (sep < a.size() && a[sep] != "--") ++sep;
  if (sep == a.size()) return complain("expected --out-dir DIR FILE... -- EFFECT ...", kUsage);
  const std::string& dir = o.out_dir;
  std::vector<std::string> files(a.begin(), a.begin() + static_cast<long>(sep));
  if (files.empty()) return complain("no input files before --", kUsage);
  std::vector<EffectCall> chain = parse_chain(a, sep + 1);
  std::vector<std::string> outs;
  std::map<std::string, size_t> first_with;
  for (size_t i = 0; i < files.size(); ++i) {
    outs.push_back(dir + (dir.back() == '/' ? "" : "/") + basename_of(files[i]));
    // Two inputs of one name would silently leave only the last one's output.
    auto [at, fresh] = first_with.emplace(outs.back(), i);
    if (!fresh)
      return complain(files[at->second] + " and " + files[i] + " would both be written to " +
                          outs.back() + " (rename one, or use separate runs)",
                      kUsage);
    check_output_type(outs.back());
  }
  // No output may replace any input, whatever name it is reached by.
  std::map<std::pair<dev_t, ino_t>, size_t> inputs;
  for (size_t i = 0; i < files.size(); ++i) {
    struct stat is;
    if (stat(files[i].c_str(), &is) == 0) inputs.emplace(std::make_pair(is.st_dev, is.st_ino), i);
  }
  if (mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST)
    return complain("cannot create " + dir + ": " + std::strerror(errno), kFailed);
  struct stat st;
  if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return complain(dir + " is not a directory", kFailed);

  const bool progress = isatty(STDERR_FILENO) != 0;
  size_t failed = 0;
  for (size_t i = 0; i < files.size(); ++i) {
    const std::string& in = files[i];
    const std::string& out = outs[i];
    if (progress) std::fprintf(stderr, "\r\033[K[%zu/%zu] %s", i + 1, files.size(), in.c_str());
    try {
      struct stat os;
      if (stat(out.c_str(), &os) == 0) {
        auto hit = inputs.find(std::make_pair(os.st_dev, os.st_ino));
        if (hit != inputs.end())
          throw Failure(in + ": output " + out + " would overwrite the input " + files[hit->second]);
      }
      check_output(out);
      refuse_terminal_stdin(in);
      Image image = load_image(in, o.limits);
      apply_chain(image, chain, o.threads);
      save_image(image, out, o.write);
    } catch (const std::exception& e) {
      ++failed;
      if (progress) std::fprintf(stderr, "\r\033[K");
      std::fprintf(stderr, "kvfx: %s\n", e.what());
    }
  }
  if (progress) std::fprintf(stderr, "\r\033[K[%zu/%zu] done\n", files.size(), files.size());
  if (failed)
    return complain(std::to_string(failed) + " of " + std::to_string(files.size()) + " files failed", kFailed);
  return 0;
}

int run(const std::vector<std::string>& args) {
  if (args.size() < 2) {
    std::fputs(help_text().c_str(), stderr);
    return kUsage;
  }
  const std::string& first = args[1];
  if (first == "--version") {
    if (args.size() > 2) return complain("--version takes nothing after it", kUsage);
    std::printf("kvfx %s (built with libkelvo_fx %s, %s)\n", KV_FX_VERSION, KV_FX_VERSION,
                codec_versions().c_str());
    return 0;
  }
  if (first == "help" || first == "--help" || first == "-h") {
    if (args.size() == 2) {
      std::fputs(help_text().c_str(), stdout);
      return 0;
    }
    const Effect* def = kvfx_catalogue::find_effect(args[2]);
    if (!def || args[2] != def->name || args.size() > 3) return complain("unknown effect '" + args[2] + "' (see kvfx help)", kUsage);
    std::fputs(effect_help_text(*def).c_str(), stdout);
    return 0;
  }
  const Options o = parse_options(args);
  if (!o.batch && !o.rest.empty() && o.rest[0] == "demo") {
    if (o.rest.size() != 2) return complain("expected demo OUTDIR", kUsage);
    const std::string& dir = o.rest[1];
    if (dir == "--help" || dir == "-h") {
      std::fputs(help_text().c_str(), stdout);
      return 0;
    }
    // A word that looks like an option is taken for one, not made a folder.
    if (dir.size() > 1 && dir[0] == '-')
      return complain("demo: '" + dir + "' is not an option of demo (a folder of that name: ./" +
                          dir + ")",
                      kUsage);
    const std::string where = run_demo(dir, o.threads);
    std::printf("%s\n", where.c_str());
    return 0;
  }
  return o.batch ? run_batch(o) : run_single(o);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv, argv + argc);
  install_signal_cleanup();
  try {
    return run(args);
  } catch (const UsageError& e) {
    return complain(e.what(), kUsage);
  } catch (const std::bad_alloc&) {
    return complain("out of memory", kFailed);
  } catch (const std::exception& e) {
    return complain(e.what(), kFailed);
  }
}
