// Core throughput: parsing, UTF-8 checking, rendering, copying and removal, on generated
// trees and on the corpus of real files.
//
// Freed heap memory stays in the process (mallopt below), so repeated cases reuse pages that
// are already mapped, as a long-running process would; where first-touch page faults are slow,
// fresh pages per iteration would measure the kernel rather than the code. Large slot arrays
// are mapped by the slab itself, fresh for every tree, so the big cases still include the
// kernel's cost of providing their pages. SEXP_BENCH_COLD=1 keeps glibc's defaults.

#include <benchmark/benchmark.h>
#include <malloc.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/clone.hpp"
#include "core/mutation.hpp"
#include "core/render.hpp"
#include "gen.hpp"
#include "parse/parser.hpp"
#include "parse/tokenizer.hpp"

namespace {

using sexp::NodeId;
using sexp::Tree;

Tree must_parse(const std::string& text) {
    sexp::ParseResult r = sexp::parse(text);
    if (!r.tree) {
        std::fprintf(stderr, "bench_core: benchmark input does not parse\n");
        std::abort();
    }
    return std::move(*r.tree);
}

// bytes == 0: the case reads or writes no text.
void set_rates(benchmark::State& state, std::size_t bytes, std::size_t nodes) {
    if (bytes > 0)
        state.SetBytesProcessed(static_cast<std::int64_t>(bytes) * state.iterations());
    state.counters["nodes/s"] = benchmark::Counter(
        static_cast<double>(nodes) * static_cast<double>(state.iterations()),
        benchmark::Counter::kIsRate);
}

// ---- inputs ------------------------------------------------------------------------------

std::string flat_text(std::size_t atoms) {
    sexp::bench::Rng rng(7);
    std::string out = "(";
    for (std::size_t i = 0; i < atoms; ++i) {
        if (i > 0)
            out.push_back(' ');
        std::size_t n = 1 + rng.below(4);
        for (std::size_t j = 0; j < n; ++j)
            out.push_back(static_cast<char>('a' + rng.below(26)));
    }
    out.push_back(')');
    return out;
}

std::string deep_text(std::size_t depth) {
    return std::string(depth, '(') + "x" + std::string(depth, ')');
}

std::string long_atoms_text(std::size_t atoms, std::size_t length) {
    std::string out = "(";
    for (std::size_t i = 0; i < atoms; ++i) {
        out.push_back(' ');
        out.append(length, static_cast<char>('a' + i % 26));
    }
    out.push_back(')');
    return out;
}

// The board text with about one atom in five replaced by 2-, 3- and 4-byte characters.
std::string mixed_utf8_text(std::size_t nodes) {
    std::string ascii = sexp::bench::make_board_text(nodes);
    std::string out;
    out.reserve(ascii.size() * 2);
    std::size_t atom = 0;
    for (std::size_t i = 0; i < ascii.size(); ++i) {
        out.push_back(ascii[i]);
        if (ascii[i] == ' ' && ++atom % 5 == 0)
            out += "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"; // e-acute, euro sign, an emoji
    }
    return out;
}

// `text` inside one more list: open + text + ")".
std::string wrapped(std::string_view open, const std::string& text) {
    std::string out;
    out.reserve(open.size() + text.size() + 1);
    out.append(open);
    out.append(text);
    out.push_back(')');
    return out;
}

// Made once per size; a map, so references stay valid as sizes are added.
const std::string& board(std::size_t nodes) {
    static std::map<std::size_t, std::string> cache;
    auto it = cache.find(nodes);
    if (it == cache.end())
        it = cache.emplace(nodes, sexp::bench::make_board_text(nodes)).first;
    return it->second;
}

// ---- parsing -------------------------------------------------------------------------------

// Each iteration also destroys its tree (a pass over the slots, a free per long atom); the
// parse_file helper times the parse alone.
std::size_t run_parse(benchmark::State& state, const std::string& text) {
    std::size_t nodes = 0;
    for (auto _ : state) {
        sexp::ParseResult r = sexp::parse(text);
        benchmark::DoNotOptimize(r);
        nodes = r.tree ? r.tree->slab.live_count() : 0;
    }
    if (nodes == 0)
        state.SkipWithError("input did not parse");
    set_rates(state, text.size(), nodes);
    return nodes;
}

void BM_ParseBoard(benchmark::State& state) {
    const std::string& text = board(static_cast<std::size_t>(state.range(0)));
    if (run_parse(state, text) != static_cast<std::size_t>(state.range(0)))
        state.SkipWithError("wrong node count");
}

void BM_ParseFlat(benchmark::State& state) {
    static const std::string text = flat_text(1'000'000);
    run_parse(state, text);
}

void BM_ParseDeep(benchmark::State& state) {
    static const std::string text = deep_text(100'000);
    run_parse(state, text);
}

void BM_ParseLongAtoms(benchmark::State& state) {
    static const std::string text = long_atoms_text(4'096, 1'024);
    run_parse(state, text);
}

// ---- UTF-8 check ------------------------------------------------------------------------

void run_utf8(benchmark::State& state, const std::string& text) {
    bool ok = false;
    for (auto _ : state) {
        ok = sexp::is_valid_utf8(text.data(), text.size());
        benchmark::DoNotOptimize(ok);
    }
    if (!ok)
        state.SkipWithError("valid text rejected");
    state.SetBytesProcessed(static_cast<std::int64_t>(text.size()) * state.iterations());
}

void BM_Utf8Ascii(benchmark::State& state) { run_utf8(state, board(1'000'000)); }

void BM_Utf8Mixed(benchmark::State& state) {
    static const std::string text = mixed_utf8_text(1'000'000);
    run_utf8(state, text);
}

// ---- render, clone -------------------------------------------------------------------------

// A fresh buffer per call, as repr() makes a fresh string.
void BM_Render(benchmark::State& state) {
    Tree tree = must_parse(board(static_cast<std::size_t>(state.range(0))));
    std::size_t bytes = 0;
    for (auto _ : state) {
        sexp::RenderBuffer out;
        sexp::render_to(tree, tree.root, out);
        bytes = out.view().size();
        benchmark::DoNotOptimize(out.cur);
    }
    std::string out;
    sexp::render(tree, tree.root, out);
    if (out.size() != bytes || !sexp::subtrees_equal(must_parse(out), 0, tree, tree.root))
        state.SkipWithError("rendered text does not parse back to the tree");
    set_rates(state, bytes, tree.slab.live_count());
}

// range(1) == 0: the root, copied slot for slot; 1: the board wrapped as "(w BOARD)" and
// its list (node 2) copied compactly, which walks the links. Each copy is destroyed inside
// the loop.
void BM_Clone(benchmark::State& state) {
    const std::string& text = board(static_cast<std::size_t>(state.range(0)));
    bool compact = state.range(1) != 0;
    Tree tree = must_parse(compact ? wrapped("(w ", text) : text);
    NodeId node = compact ? 2 : tree.root;
    std::size_t nodes = 0;
    for (auto _ : state) {
        Tree copy = sexp::clone_subtree(tree, node);
        nodes = copy.slab.live_count();
        benchmark::DoNotOptimize(copy);
    }
    Tree copy = sexp::clone_subtree(tree, node);
    if (!sexp::subtrees_equal(copy, copy.root, tree, node))
        state.SkipWithError("copy differs from its source");
    set_rates(state, 0, nodes);
}

// ---- removal -------------------------------------------------------------------------------

// Removal mutates, so each iteration works on a fresh copy made while the timer is paused;
// the copy of the previous iteration is also destroyed while paused.
template <typename Victims>
void run_remove(benchmark::State& state, const Tree& pristine, Victims victims) {
    std::optional<Tree> tree;
    std::vector<NodeId> ids;
    std::size_t removed = 0;
    for (auto _ : state) {
        state.PauseTiming();
        tree.reset();
        tree.emplace(sexp::clone_subtree(pristine, pristine.root));
        ids.clear();
        victims(*tree, ids);
        std::size_t before = tree->slab.live_count();
        state.ResumeTiming();
        for (NodeId id : ids)
            sexp::remove(*tree, id);
        benchmark::DoNotOptimize(tree->slab.free_stack().data());
        removed = before - tree->slab.live_count();
    }
    if (removed == 0 || tree->slab.raw(tree->root).first_child != sexp::NO_NODE)
        state.SkipWithError("removal left children behind");
    set_rates(state, 0, removed);
}

void root_children(const Tree& tree, std::vector<NodeId>& ids) {
    for (NodeId c = tree.slab.raw(tree.root).first_child; c != sexp::NO_NODE;
         c = tree.slab.raw(c).next_sibling)
        ids.push_back(c);
}

// Every record of the board, one removal each (the common edit).
void BM_RemoveRecords(benchmark::State& state) {
    Tree pristine = must_parse(board(static_cast<std::size_t>(state.range(0))));
    run_remove(state, pristine, root_children);
}

// One removal of a subtree holding almost the whole tree.
void BM_RemoveWhole(benchmark::State& state) {
    Tree pristine = must_parse(wrapped("(", board(static_cast<std::size_t>(state.range(0)))));
    run_remove(state, pristine, root_children);
}

// One removal of a 10^5-deep chain: the walk must not recurse.
void BM_RemoveDeep(benchmark::State& state) {
    Tree pristine = must_parse(wrapped("(", deep_text(100'000)));
    run_remove(state, pristine, root_children);
}

// ---- corpus --------------------------------------------------------------------------------

std::filesystem::path corpus_dir() {
    if (const char* env = std::getenv("SEXP_CORPUS"))
        return env;
    return SEXP_DEFAULT_CORPUS;
}

// Every case reports microseconds; run with --benchmark_repetitions for medians.
template <typename F> benchmark::internal::Benchmark* add(const std::string& name, F fn) {
    return benchmark::RegisterBenchmark(name.c_str(), fn)->Unit(benchmark::kMicrosecond);
}

void register_all() {
    add("BM_ParseBoard", BM_ParseBoard)->Arg(10'000)->Arg(100'000)->Arg(1'000'000);
    add("BM_ParseFlat", BM_ParseFlat);
    add("BM_ParseDeep", BM_ParseDeep);
    add("BM_ParseLongAtoms", BM_ParseLongAtoms);
    add("BM_Utf8Ascii", BM_Utf8Ascii);
    add("BM_Utf8Mixed", BM_Utf8Mixed);
    add("BM_Render", BM_Render)->Arg(100'000)->Arg(1'000'000);
    add("BM_Clone", BM_Clone)
        ->ArgsProduct({{100'000, 1'000'000}, {0, 1}})
        ->ArgNames({"nodes", "compact"});
    add("BM_RemoveRecords", BM_RemoveRecords)->Arg(100'000)->Arg(1'000'000);
    add("BM_RemoveWhole", BM_RemoveWhole)->Arg(1'000'000);
    add("BM_RemoveDeep", BM_RemoveDeep);

    // One parse case per corpus file, named after its path under the corpus folder.
    static std::vector<std::pair<std::string, std::string>> files;
    std::error_code ec;
    std::filesystem::path dir = corpus_dir();
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir, ec)) {
        if (!e.is_regular_file())
            continue;
        std::string rel = e.path().lexically_relative(dir).string();
        if (rel.starts_with("LICENSES") || e.path().extension() == ".md")
            continue;
        std::ifstream in(e.path(), std::ios::binary);
        std::string text(static_cast<std::size_t>(e.file_size()), '\0');
        in.read(text.data(), static_cast<std::streamsize>(text.size()));
        files.emplace_back(rel, std::move(text));
    }
    if (ec || files.empty())
        std::fprintf(stderr, "bench_core: no corpus at %s (set SEXP_CORPUS)\n", dir.c_str());
    std::sort(files.begin(), files.end());
    for (const auto& [name, text] : files) {
        const std::string* t = &text;
        add("BM_ParseCorpus/" + name, [t](benchmark::State& state) { run_parse(state, *t); });
    }
}

} // namespace

int main(int argc, char** argv) {
    if (std::getenv("SEXP_BENCH_COLD") == nullptr) {
        mallopt(M_MMAP_MAX, 0);
        mallopt(M_TRIM_THRESHOLD, 1 << 30);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    register_all();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
