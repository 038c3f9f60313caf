// The core parser alone, timed the way bench_surface.py times the Python parse, so that the
// two can be compared on the very same text.
//
//   parse_file [--reps N] [--validate] [--hold] [--warm] FILE...
//       per file, one line: path bytes nodes min_ns median_ns (per parse)
//   parse_file --generate NODES [SEED]
//       writes the generated board-like text to stdout
//
// A sample is k parses, k chosen so that it lasts about 10 ms. Each parse is timed alone and
// its tree destroyed after the timing, so the next parse may reuse the memory; with --hold
// the trees are kept until the sample ends, so every parse gets fresh memory. Times are CPU
// time of the process, read as Python's time.process_time_ns reads it.

#include <malloc.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "gen.hpp"
#include "parse/parser.hpp"
#include "parse/tokenizer.hpp"

namespace {

bool read_file(const char* path, std::string& out) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in)
        return false;
    out.resize(static_cast<std::size_t>(in.tellg()));
    in.seekg(0);
    return static_cast<bool>(in.read(out.data(), static_cast<std::streamsize>(out.size())));
}

double cpu_ns() noexcept {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}

// One parse as _sexp.parse does it (bytes are validated first, str is not), timed; the tree
// goes to `keep`. Returns its node count, 0 when the text does not parse.
std::size_t timed_parse(const std::string& text, bool validate, std::vector<sexp::Tree>& keep,
                        double& ns) {
    double t0 = cpu_ns();
    bool valid = !validate || sexp::is_valid_utf8(text.data(), text.size());
    sexp::ParseResult r = valid ? sexp::parse(text) : sexp::ParseResult{};
    ns += cpu_ns() - t0;
    if (!r.tree)
        return 0;
    std::size_t n = r.tree->slab.live_count();
    keep.push_back(std::move(*r.tree));
    return n;
}

int usage() {
    std::fprintf(stderr, "usage: parse_file [--reps N] [--validate] [--hold] [--warm] FILE...\n"
                         "       parse_file --generate NODES [SEED]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && std::strcmp(argv[1], "--generate") == 0) {
        std::uint64_t seed = argc >= 4 ? std::strtoull(argv[3], nullptr, 10) : 42;
        std::string text = sexp::bench::make_board_text(std::strtoull(argv[2], nullptr, 10), seed);
        std::fwrite(text.data(), 1, text.size(), stdout);
        return 0;
    }
    int reps = 10;
    bool validate = false, hold = false;
    std::vector<const char*> files;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--reps") == 0 && i + 1 < argc) {
            reps = std::max(1, std::atoi(argv[++i]));
        } else if (std::strcmp(argv[i], "--validate") == 0) {
            validate = true;
        } else if (std::strcmp(argv[i], "--hold") == 0) {
            hold = true;
        } else if (std::strcmp(argv[i], "--warm") == 0) {
            // Freed heap memory stays mapped, so later parses reuse pages already touched.
            mallopt(M_MMAP_MAX, 0);
            mallopt(M_TRIM_THRESHOLD, 1 << 30);
        } else if (argv[i][0] == '-') {
            return usage();
        } else {
            files.push_back(argv[i]);
        }
    }
    if (files.empty())
        return usage();

    for (const char* path : files) {
        std::string text;
        if (!read_file(path, text)) {
            std::fprintf(stderr, "parse_file: cannot read %s\n", path);
            return 1;
        }
        std::vector<sexp::Tree> keep;
        double first = 0;
        std::size_t nodes = timed_parse(text, validate, keep, first);
        if (nodes == 0) {
            std::fprintf(stderr, "parse_file: %s does not parse\n", path);
            return 1;
        }
        keep.clear();
        // About 10 ms a sample.
        auto k = std::clamp<std::size_t>(static_cast<std::size_t>(1e7 / std::max(first, 1.0)), 1,
                                         10000);
        keep.reserve(k);
        std::vector<double> per_parse;
        for (int r = 0; r < reps; ++r) {
            double ns = 0;
            for (std::size_t j = 0; j < k; ++j) {
                if (timed_parse(text, validate, keep, ns) != nodes) {
                    std::fprintf(stderr, "parse_file: %s: a parse went wrong\n", path);
                    return 1;
                }
                if (!hold)
                    keep.clear();
            }
            keep.clear();
            per_parse.push_back(ns / static_cast<double>(k));
        }
        std::sort(per_parse.begin(), per_parse.end());
        std::size_t m = per_parse.size() / 2;
        double median = per_parse.size() % 2 ? per_parse[m] : (per_parse[m - 1] + per_parse[m]) / 2;
        std::printf("%s %zu %zu %.0f %.0f\n", path, text.size(), nodes, per_parse.front(), median);
    }
    return 0;
}
