// kvfx: applies the library's effects to image files from the command line.
//
// Exit status: 0 success, 1 a file could not be read, decoded, processed or
// written, 2 a malformed command line (unknown effect or parameter, bad value).
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "demo.h"
#include "effects.h"
#include "image_io.h"

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

bool same_file(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

int run_single(const std::vector<std::string>& args) {
  if (args.size() < 3) return complain("expected IN OUT EFFECT ... (see kvfx help)", kUsage);
  const std::string& in = args[1];
  const std::string& out = args[2];
  std::vector<EffectCall> chain = parse_chain(args, 3);
  format_for_path(out);  // an unusable OUT is refused before any work
  Image image = load_image(in);
  apply_chain(image, chain);
  save_image(image, out);
  return 0;
}

int run_batch(const std::vector<std::string>& args) {
  size_t sep = 1;
  while (sep < args.size() && args[sep] != "--") ++sep;
  if (args.size() < 3 || sep == args.size())
    return complain("expected --out-dir DIR FILE... -- EFFECT ...", kUsage);
  const std::string dir = args[2];
  std::vector<std::string> files(args.begin() + 3, args.begin() + static_cast<long>(sep));
  if (files.empty()) return complain("no input files before --", kUsage);
  std::vector<EffectCall> chain = parse_chain(args, sep + 1);
  if (mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST)
    return complain("cannot create " + dir + ": " + std::strerror(errno), kFailed);
  struct stat st;
  if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return complain(dir + " is not a directory", kFailed);

  const bool progress = isatty(STDERR_FILENO) != 0;
  size_t failed = 0;
  for (size_t i = 0; i < files.size(); ++i) {
    const std::string& in = files[i];
    if (progress) std::fprintf(stderr, "\r\033[K[%zu/%zu] %s", i + 1, files.size(), in.c_str());
    try {
      std::string out = dir + (dir.back() == '/' ? "" : "/") + basename_of(in);
      if (same_file(in, out)) throw Failure(in + ": output would overwrite the input");
      format_for_path(out);
      Image image = load_image(in);
      apply_chain(image, chain);
      save_image(image, out);
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
  if (first == "demo") {
    if (args.size() != 3) return complain("expected demo OUTDIR", kUsage);
    run_demo(args[2]);
    return 0;
  }
  if (first == "--out-dir") return run_batch(args);
  return run_single(args);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv, argv + argc);
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
