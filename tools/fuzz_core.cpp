// Coverage-guided fuzz target for the reading core on its own, with no
// interpreter: any bytes are read as a file (in pieces of varying size),
// split into blocks, and every record walk runs over them. Besides never
// crashing (the sanitizers watch memory and undefined behaviour), the core
// must agree with itself:
//   - the same bytes read through ByteFeed and, decoded, through CharFeed
//     give the same blocks and lines; at a byte that does not decode,
//     ByteFeed keeps the input's bytes from it on;
//   - the same bytes read from a file descriptor, split in place while they
//     are plain ASCII, give the same blocks, lines, report and failure as
//     the pieces fed one by one (tools/fuzz_core.sh makes its reads small),
//     also when another operation of the core starts during the reading,
//     and look for an interruption after every piece;
//   - blocks whose line starts move from 32 to 64 bits part way through
//     (the limit lowered from 4 Gi characters to a few) hold the same
//     lines: one of the two readings above has its limit lowered, and the
//     walks below then read such blocks every other input;
//   - every walk that completes accounts for every line of its blocks:
//     lines of records + lines passed over + blank lines passed over;
//   - the node and element walks that keep their records (watched walks
//     only count them unless asked to keep them) keep as many, in
//     well-formed tables, the same whether watched or not;
//   - the catalogue of result vectors (counts only, its blocks shared with
//     a second thread) lists the same vectors as the full read, with the
//     number of distinct entity ids of each;
//   - the data read at a catalogue position is the vector's data;
//   - the first vector the array form finds without filters is the first
//     vector of the full read;
//   - a node or element walk shared with a second thread gives exactly the
//     one-thread result: the same records, or the same failure at the same
//     place (tools/fuzz_core.sh lowers the walk length that is shared and
//     the element table's node id limit, so that small inputs reach both).
//
// Built by tools/fuzz_core.sh with clang's libFuzzer, or with any compiler
// and -DFUZZ_CORE_MAIN into a program that runs the files named on its
// command line (a corpus or crash files).
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <vector>

#include <unistd.h>

#include "reading/descriptor.hpp"
#include "reading/findings.hpp"
#include "reading/records.hpp"
#include "reading/text_feed.hpp"
#include "reading/vectors.hpp"

using namespace tremix::reading;

namespace {

void require(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "fuzz_core: %s\n", what);
        std::abort();
    }
}

// A file's text as read; the reading's context is gone by the time the
// walks run, as a walk is shared with a second thread only while no other
// context is alive.
struct Read {
    FileText text;
    ReadReport report;
    Outcome outcome = Outcome::ok;
    Failure::Kind failure = Failure::Kind::none;
};

// Piece sizes drawn from the input itself, so the fuzzer explores them.
size_t piece_size(uint8_t seed, size_t k) { return 1 + (static_cast<size_t>(seed) * 131 + k * 17) % 97; }

// Where line starts move to 64 bits: lowered to a few characters in the
// reading `lowered` says, so that small blocks pass it part way through.
void limit_starts(Splitter& splitter, uint8_t seed, bool lowered) {
    if (lowered) splitter.set_narrow_start_limit(seed % 48);
}

std::vector<std::vector<std::u32string>> lines_of(const FileText& text) {
    std::vector<std::vector<std::u32string>> out;
    for (size_t b = 0; b < text.blocks.size(); ++b) {
        const BlockLines lines = text.lines(b);
        std::vector<std::u32string> block;
        for (size_t i = 0; i < lines.size(); ++i) {
            const TextView t = lines.line(i);
            std::u32string s;
            for (size_t c = 0; c < t.length; ++c) s.push_back(t.at(c));
            block.push_back(s);
        }
        out.push_back(block);
    }
    return out;
}

bool same_report(const ReadReport& a, const ReadReport& b) {
    if (a.lines != b.lines || a.stray_runs != b.stray_runs || a.blocks != b.blocks || a.overflow_line != b.overflow_line ||
        a.last_delimiter_line != b.last_delimiter_line || a.unclosed != b.unclosed ||
        a.unclosed_id != b.unclosed_id || a.unclosed_last_line != b.unclosed_last_line || a.stray.size() != b.stray.size() ||
        a.first_line_text != b.first_line_text)
        return false;
    for (size_t k = 0; k < a.stray.size(); ++k) {
        const StrayText &x = a.stray[k], &y = b.stray[k];
        if (x.first_line != y.first_line || x.last_line != y.last_line || x.count != y.count ||
            x.first_text != y.first_text || x.delimiter_like_line != y.delimiter_like_line ||
            x.bad_number_line != y.bad_number_line || x.bad_number_text != y.bad_number_text)
            return false;
    }
    return true;
}

bool same_blocks(const FileText& a, const FileText& b) {
    if (a.blocks.size() != b.blocks.size()) return false;
    for (size_t k = 0; k < a.blocks.size(); ++k) {
        const StoredBlock &x = a.blocks[k], &y = b.blocks[k];
        if (x.id != y.id || x.closed != y.closed || x.id_line != y.id_line || x.line_count != y.line_count ||
            x.ascii != y.ascii)
            return false;
    }
    return lines_of(a) == lines_of(b);
}

// Counts the looks for an interruption: reading from a file looks after
// every piece (TREMIX_READ_PIECE bytes, as the reading is built), however
// far a second thread has read ahead. (The default is the reading's own.)
// Asked to, it starts another operation of the core at the first look,
// which is soon after a second thread has started reading the file: that
// thread then leaves the rest of the file to the first.
#ifndef TREMIX_READ_PIECE
#define TREMIX_READ_PIECE (size_t{1} << 18)
#endif
class CountingHost final : public Host {
  public:
    explicit CountingHost(bool another_starts = false) : another_starts_(another_starts) {}
    Outcome exact_int(const TextView&, int64_t&, bool&) override { return Outcome::fail; }
    Outcome exact_float(const TextView&, double&) override { return Outcome::fail; }
    bool keep_going() override {
        ++looks;
        if (another_starts_ && !another_) another_.emplace(another_host_);
        return true;
    }
    size_t looks = 0;

  private:
    bool another_starts_;
    PlainHost another_host_;
    std::optional<Context> another_;
};

// The bytes of `fd` (a file of `size` bytes) read as a file is.
void check_read_descriptor(int fd, size_t size, Encoding encoding, const Read& fed, bool fed_invalid,
                           uint64_t fed_error_offset, bool another_starts, uint8_t seed) {
    Read read;
    CountingHost host(another_starts);
    Context ctx(host);
    Splitter splitter(ctx, read.text, read.report);
    limit_starts(splitter, seed, (seed & 1) == 0);
    ByteFeed feed(splitter, encoding);
    const DescriptorRead result = read_descriptor(fd, splitter, feed, ctx, read.text);
    require(result.status != DescriptorRead::Status::os_error, "temporary file read failed");
    require(result.status != DescriptorRead::Status::done || host.looks >= size / TREMIX_READ_PIECE,
            "reading a file looks for an interruption too seldom");
    require((result.status == DescriptorRead::Status::invalid) == fed_invalid, "descriptor decodes differently");
    if (fed_invalid) {
        require(feed.error_offset() == fed_error_offset, "descriptor finds another undecodable byte");
        return;
    }
    require((result.status == DescriptorRead::Status::done) == (fed.outcome != Outcome::fail),
            "descriptor reading ends differently");
    require(ctx.failure().kind == fed.failure, "descriptor reading fails differently");
    if (fed.outcome == Outcome::fail && fed.failure != Failure::Kind::out_of_range) return;
    require(same_blocks(read.text, fed.text), "descriptor reading splits differently");
    require(same_report(read.report, fed.report), "descriptor reading reports differently");
}

// The bytes read from a file descriptor (a temporary file).
void check_descriptor(const uint8_t* data, size_t size, Encoding encoding, const Read& fed, bool fed_invalid,
                      uint64_t fed_error_offset, uint8_t seed) {
    std::FILE* file = std::tmpfile();
    require(file != nullptr, "no temporary file");
    const int fd = fileno(file);
    for (size_t at = 0; at < size;) {
        const ssize_t n = write(fd, data + at, size - at);
        require(n > 0, "temporary file write failed");
        at += static_cast<size_t>(n);
    }
    // Read alone, then with another operation starting during the reading.
    for (const bool another_starts : {false, true}) {
        lseek(fd, 0, SEEK_SET);
        check_read_descriptor(fd, size, encoding, fed, fed_invalid, fed_error_offset, another_starts, seed);
    }
    std::fclose(file);
}

BlockSet blocks_numbered(const FileText& text, std::initializer_list<int32_t> ids) {
    BlockSet set;
    for (int32_t id : ids) {
        for (size_t b = 0; b < text.blocks.size(); ++b) {
            if (text.blocks[b].id != id) continue;
            BlockEntry e;
            e.block_id = id;
            e.lines = text.lines(b);
            set.push_back(e);
        }
    }
    return set;
}

template <typename Walk>
void check_accounting(const BlockSet& set, Walk&& walk) {
    PlainHost host;
    Context ctx(host);
    FindingCollector seen(SIZE_MAX);
    if (walk(ctx, set, seen) == Outcome::fail) return;
    require(seen.record_lines + seen.passed_lines + seen.blank_lines == total_lines(set), "lines not accounted for");
}

template <typename T>
bool same_column(const Column<T>& a, const Column<T>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](T x, T y) { return x == y || (x != x && y != y); });
}

bool same_table(const NodeTable& a, const NodeTable& b) { return same_column(a.ids, b.ids) && same_column(a.xyz, b.xyz); }

bool same_table(const ElementTable& a, const ElementTable& b) {
    return same_column(a.ids, b.ids) && same_column(a.prop_ids, b.prop_ids) &&
           same_column(a.topologies, b.topologies) && same_column(a.connectivity, b.connectivity) &&
           same_column(a.offsets, b.offsets);
}

// Watched node and element walks only count their records unless asked to
// keep them; the walks that keep them must read the same records, and keep
// them in step, watched or not.
void check_kept(const BlockSet& nodes, const BlockSet& elements) {
    PlainHost host;
    {
        Context watched_ctx(host), kept_ctx(host), both_ctx(host);
        FindingCollector seen(0), seen_keeping(0, true);
        NodeTable watched, kept, both;
        const Outcome watched_outcome = read_nodes(watched_ctx, nodes, watched, &seen);
        require(read_nodes(kept_ctx, nodes, kept) == watched_outcome, "kept and watched nodes end differently");
        require(read_nodes(both_ctx, nodes, both, &seen_keeping) == watched_outcome &&
                    seen_keeping.records == seen.records,
                "watched nodes kept end differently");
        if (watched_outcome != Outcome::fail) {
            require(kept.ids.size() == seen.records && kept.xyz.size() == 3 * kept.ids.size(), "nodes kept differ");
            require(same_table(both, kept), "watched nodes kept differ");
        }
    }
    Context watched_ctx(host), kept_ctx(host), both_ctx(host);
    FindingCollector seen(0), seen_keeping(0, true);
    ElementTable watched, kept, both;
    const Outcome watched_outcome = read_elements(watched_ctx, elements, watched, &seen);
    const Outcome kept_outcome = read_elements(kept_ctx, elements, kept);
    const Outcome both_outcome = read_elements(both_ctx, elements, both, &seen_keeping);
    require(both_outcome == kept_outcome && both_ctx.failure().kind == kept_ctx.failure().kind,
            "watched elements kept end differently");
    if (kept_outcome != Outcome::fail) {
        require(same_table(both, kept), "watched elements kept differ");
    }
    // Topology codes alone, the node ids only counted: the same end, the same codes.
    Context codes_ctx(host);
    FindingCollector seen_codes(0, true);
    ElementTable codes;
    codes.topologies_only = true;
    require(read_elements(codes_ctx, elements, codes, &seen_codes) == kept_outcome &&
                codes_ctx.failure().kind == kept_ctx.failure().kind && seen_codes.records == seen_keeping.records,
            "elements read for their topology codes end differently");
    if (kept_outcome != Outcome::fail) {
        require(codes.ids.empty() && codes.connectivity.empty() && codes.node_ids_counted == kept.connectivity.size() &&
                    std::equal(codes.topologies.begin(), codes.topologies.end(), kept.topologies.begin(),
                               kept.topologies.end()),
                "topology codes differ from the kept elements'");
    }
    // Only a kept table can hold too many node ids.
    if (kept_outcome == Outcome::fail && kept_ctx.failure().kind == Failure::Kind::too_many_nodes) return;
    require(kept_outcome == watched_outcome, "kept and watched elements end differently");
    if (watched_outcome == Outcome::fail) return;
    require(kept.ids.size() == seen.records && kept.prop_ids.size() == kept.ids.size() &&
                kept.topologies.size() == kept.ids.size() && kept.offsets.size() == kept.ids.size() + 1,
            "elements kept differ");
    require(kept.offsets[0] == 0 && std::is_sorted(kept.offsets.begin(), kept.offsets.end()) &&
                static_cast<size_t>(kept.offsets.back()) == kept.connectivity.size(),
            "element offsets out of step");
}

void check_vectors(const BlockSet& set) {
    PlainHost host;
    VectorTable full, counted, ranged;
    {
        Context ctx(host);
        if (read_vectors(ctx, set, full, Keep::values) == Outcome::fail) return;
    }
    // Each catalogue with its context alone, so that it may share its blocks
    // with a second thread.
    {
        Context ctx(host);
        require(read_vectors(ctx, set, counted, Keep::counts) != Outcome::fail,
                "the catalogue failed where the full read did not");
    }
    require(full.vectors.size() == counted.vectors.size(), "catalogue and full read list different vectors");
    {
        Context ctx(host);
        require(read_vectors(ctx, set, ranged, Keep::ranges) != Outcome::fail, "ranges failed where the full read did not");
    }
    require(ranged.vectors.size() == full.vectors.size(), "ranges and full read list different vectors");
    for (size_t k = 0; k < full.vectors.size(); ++k) {
        const VectorRecord& a = full.vectors[k];
        const VectorRecord& b = counted.vectors[k];
        require(a.set_id == b.set_id && a.vec_id == b.vec_id && a.block == b.block && a.data_start == b.data_start &&
                    a.found == b.found && a.ent_type == b.ent_type,
                "catalogue entry differs");
        std::vector<int32_t> ids(full.ids.begin() + static_cast<std::ptrdiff_t>(a.begin),
                                 full.ids.begin() + static_cast<std::ptrdiff_t>(a.end));
        std::vector<double> values(full.values.begin() + static_cast<std::ptrdiff_t>(a.begin),
                                   full.values.begin() + static_cast<std::ptrdiff_t>(a.end));
        std::vector<int32_t> sorted = ids;
        std::sort(sorted.begin(), sorted.end());
        const size_t distinct = static_cast<size_t>(std::unique(sorted.begin(), sorted.end()) - sorted.begin());
        require(b.distinct == distinct, "catalogue count differs from the distinct entity ids");
        const VectorRecord& c = ranged.vectors[k];
        require(c.distinct == distinct && c.repeats == (distinct != ids.size()), "ranges count differently");
        bool finite = false;
        double lo = 0, hi = 0;
        for (double x : values) {
            if (x - x != 0.0) continue;
            lo = finite ? std::min(lo, x) : x;
            hi = finite ? std::max(hi, x) : x;
            finite = true;
        }
        // Of equal values the first stands: -0.0 and 0.0 are told apart.
        require(c.finite == finite &&
                    (!finite || (c.minimum == lo && c.maximum == hi && std::signbit(c.minimum) == std::signbit(lo) &&
                                 std::signbit(c.maximum) == std::signbit(hi))),
                "value range differs");
        require(b.block_lines == a.block_lines && c.block_lines == a.block_lines && b.data_end == a.data_end &&
                    c.data_end == a.data_end && b.stored == a.stored && c.stored == a.stored &&
                    a.stored == a.end - a.begin,
                "the catalogue sees another data end or count than the full read");
        MallocArray<int32_t> at_ids;
        MallocArray<double> at_values;
        size_t at_end = 0;
        Context ctx3(host);
        require(read_vector_data(ctx3, set, a.block, a.data_start, at_ids, at_values, 0, &at_end) == Outcome::ok,
                "a listed vector's data does not read");
        require(at_end == a.data_end && set[a.block].lines.size() == a.block_lines,
                "a listed vector's data ends elsewhere when read again");
        require(std::equal(at_ids.begin(), at_ids.end(), ids.begin(), ids.end()), "positioned read gives other ids");
        require(std::equal(at_values.begin(), at_values.end(), values.begin(), values.end(),
                           [](double x, double y) { return x == y || (x != x && y != y); }),
                "positioned read gives other values");
    }
    VectorMatch first;
    Context ctx4(host);
    if (find_vector(ctx4, set, -1, -1, WalkFrom{}, first) == Outcome::fail) return;
    require(first.found == !full.vectors.empty(), "the array form finds a vector iff the full read has one");
    if (first.found) {
        const VectorRecord& a = full.vectors.front();
        require(first.record.set_id == a.set_id && first.record.vec_id == a.vec_id &&
                    first.ids.size() == a.end - a.begin,
                "the array form's first vector differs");
    }
}

bool same_failure(const Failure& a, const Failure& b) {
    return a.kind == b.kind && a.block == b.block && a.line == b.line && a.field.start == b.field.start &&
           a.field.length == b.field.length;
}

// Every vector the array form finds, each search going on where the last
// one ended, once on one thread (another context alive keeps it there) and
// once as it comes (a long vector's data shared with a second thread): the
// same vectors with the same values, and the same outcome and failure.
void check_shared_vectors(const BlockSet& set) {
    PlainHost host;
    struct Found {
        std::vector<VectorMatch> vectors;
        Outcome outcome = Outcome::ok;
        Failure failure;
    };
    auto find_all = [&](bool alone) {
        Found f;
        Context ctx(host);
        std::optional<Context> other;
        if (alone) other.emplace(host);
        WalkFrom from;
        for (;;) {
            VectorMatch m;
            f.outcome = find_vector(ctx, set, -1, -1, from, m);
            if (f.outcome == Outcome::fail || !m.found) break;
            from = m.next;
            f.vectors.push_back(std::move(m));
        }
        f.failure = ctx.failure();
        return f;
    };
    const Found alone = find_all(true), shared = find_all(false);
    require(alone.outcome == shared.outcome && same_failure(alone.failure, shared.failure),
            "a shared vector read ends differently from the one-thread read");
    require(alone.vectors.size() == shared.vectors.size(), "a shared vector read finds other vectors");
    for (size_t k = 0; k < alone.vectors.size(); ++k) {
        const VectorMatch& a = alone.vectors[k];
        const VectorMatch& b = shared.vectors[k];
        require(a.record.set_id == b.record.set_id && a.record.vec_id == b.record.vec_id &&
                    a.record.data_start == b.record.data_start && a.next.block == b.next.block &&
                    a.next.line == b.next.line && std::equal(a.ids.begin(), a.ids.end(), b.ids.begin(), b.ids.end()) &&
                    std::equal(a.values.begin(), a.values.end(), b.values.begin(), b.values.end(),
                               [](double x, double y) { return std::bit_cast<uint64_t>(x) == std::bit_cast<uint64_t>(y); }),
                "a shared vector read gives other values");
    }
}

// `walk(ctx, table)` once on one thread (another context alive keeps it
// there) and once as it comes (shared when long enough) into the table
// `make()` gives (whose columns may write into room of their own): the
// outcome, the failure and the table must be the same.
template <typename Table, typename Walk, typename Make>
void check_shared(Walk&& walk, Make&& make, const char* what) {
    PlainHost host;
    Table alone;
    Table shared = make();
    Outcome alone_outcome;
    Failure alone_failure;
    {
        Context ctx(host), other(host);
        alone_outcome = walk(ctx, alone);
        alone_failure = ctx.failure();
    }
    Context ctx(host);
    const Outcome shared_outcome = walk(ctx, shared);
    if (shared_outcome != alone_outcome || !same_failure(ctx.failure(), alone_failure)) {
        std::fprintf(stderr, "fuzz_core: %s: one thread: outcome %d, failure %d at %zu:%zu; shared: outcome %d, failure %d at %zu:%zu\n",
                     what, static_cast<int>(alone_outcome), static_cast<int>(alone_failure.kind), alone_failure.block,
                     alone_failure.line, static_cast<int>(shared_outcome), static_cast<int>(ctx.failure().kind),
                     ctx.failure().block, ctx.failure().line);
        std::abort();
    }
    if (alone_outcome != Outcome::fail) require(same_table(shared, alone), what);
}

void check_shared_walks(const BlockSet& nodes, const BlockSet& elements, uint8_t seed) {
    auto walk_nodes = [&](Context& c, NodeTable& t) { return read_nodes(c, nodes, t); };
    check_shared<NodeTable>(walk_nodes, [] { return NodeTable{}; },
                            "a shared node walk differs from the one-thread walk");
    // Into room for a node a line, as the arrays the binding makes: the
    // nodes must fit (whatever lines the halves pass over), and the second
    // half's nodes end up right after the first half's.
    const size_t lines = total_lines(nodes);
    std::vector<int32_t> id_room(lines);
    std::vector<double> xyz_room(3 * lines);
    check_shared<NodeTable>(
        [&](Context& c, NodeTable& t) {
            const Outcome o = read_nodes(c, nodes, t);
            if (o != Outcome::fail && t.ids.room())
                require(t.ids.in_room() && t.xyz.in_room(), "nodes outgrew a room of one a line");
            return o;
        },
        [&] { return NodeTable{Column<int32_t>(id_room.data(), lines), Column<double>(xyz_room.data(), 3 * lines)}; },
        "a shared node walk into room differs from the one-thread walk");
    // Into less room than that: the nodes that do not fit move to the
    // column's own vector, in order.
    const size_t less = lines * (seed % 8) / 8;
    check_shared<NodeTable>(
        walk_nodes,
        [&] { return NodeTable{Column<int32_t>(id_room.data(), less), Column<double>(xyz_room.data(), 3 * less)}; },
        "a shared node walk into too little room differs from the one-thread walk");
    auto walk_elements = [&](Context& c, ElementTable& t) { return read_elements(c, elements, t); };
    check_shared<ElementTable>(walk_elements, [] { return ElementTable{}; },
                               "a shared element walk differs from the one-thread walk");
    // Into room for as many elements as the lines can hold, which they must
    // not outgrow, and node id room for 0 to 7 ids an element, which they
    // may (moving to the column's vector).
    const size_t most = most_elements(elements);
    const size_t node_room = most * (seed % 8);
    std::vector<int32_t> rooms[4] = {std::vector<int32_t>(most), std::vector<int32_t>(most),
                                     std::vector<int32_t>(most), std::vector<int32_t>(most + 1)};
    std::vector<int32_t> node_ids(node_room);
    check_shared<ElementTable>(
        [&](Context& c, ElementTable& t) {
            const Outcome o = read_elements(c, elements, t);
            if (o != Outcome::fail && t.ids.room())
                require(t.ids.in_room() && t.prop_ids.in_room() && t.topologies.in_room() && t.offsets.in_room(),
                        "elements outgrew a room of one for every seven lines");
            return o;
        },
        [&] {
            ElementTable t;
            t.ids = Column<int32_t>(rooms[0].data(), most);
            t.prop_ids = Column<int32_t>(rooms[1].data(), most);
            t.topologies = Column<int32_t>(rooms[2].data(), most);
            t.offsets = Column<int32_t>(rooms[3].data(), most + 1);
            t.offsets.push_back(0);
            t.connectivity = Column<int32_t>(node_ids.data(), node_room);
            return t;
        },
        "a shared element walk into room differs from the one-thread walk");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const uint8_t seed = data[0];
    const Encoding encoding = data[1] % 3 == 0 ? Encoding::ascii : (data[1] % 3 == 1 ? Encoding::latin1 : Encoding::utf8);
    data += 2;
    size -= 2;

    Read bytes;
    bool invalid = false;
    uint64_t error_offset = 0;
    {
        PlainHost host;
        Context ctx(host);
        Splitter splitter(ctx, bytes.text, bytes.report);
        limit_starts(splitter, seed, (seed & 1) == 1);
        ByteFeed feed(splitter, encoding);
        size_t at = 0;
        for (size_t k = 0; at < size && bytes.outcome != Outcome::fail; ++k) {
            const size_t n = std::min(piece_size(seed, k), size - at);
            bytes.outcome = feed.feed(reinterpret_cast<const char*>(data) + at, n);
            at += n;
        }
        if (bytes.outcome != Outcome::fail) bytes.outcome = feed.finish();
        bytes.failure = ctx.failure().kind;
        invalid = feed.invalid();
        error_offset = feed.error_offset();
        // The bytes kept for the decoder's own error are the input's, from
        // the first that does not decode on.
        require(!invalid || (feed.error_bytes_length() >= 1 && error_offset + feed.error_bytes_length() <= size &&
                             std::memcmp(feed.error_bytes(), data + error_offset, feed.error_bytes_length()) == 0),
                "the bytes kept at an undecodable byte are not the input's");
        // Near the start they are the input from its first byte.
        if (invalid) {
            const std::string around = feed.error_data();
            const size_t from = error_offset < 64 ? 0 : static_cast<size_t>(error_offset);
            require(from + around.size() <= size && std::memcmp(around.data(), data + from, around.size()) == 0 &&
                        from + around.size() >= error_offset + feed.error_bytes_length(),
                    "the bytes around an undecodable byte are not the input's");
        }
    }
    check_descriptor(data, size, encoding, bytes, invalid, error_offset, seed);

    if (encoding == Encoding::latin1) {
        // Latin-1 bytes are their own characters: the decoded path must agree.
        Read chars;
        PlainHost host;
        Context ctx(host);
        Splitter splitter(ctx, chars.text, chars.report);
        CharFeed feed(splitter);
        size_t at = 0;
        for (size_t k = 0; at < size && chars.outcome != Outcome::fail; ++k) {
            const size_t n = std::min(piece_size(seed ^ 0x5a, k), size - at);
            chars.outcome = feed.feed(TextView{data + at, n, 1});
            at += n;
        }
        if (chars.outcome != Outcome::fail) chars.outcome = feed.finish();
        require(bytes.outcome == chars.outcome, "bytes and characters read differently");
        require(lines_of(bytes.text) == lines_of(chars.text), "bytes and characters split differently");
    }
    if (bytes.outcome == Outcome::fail && bytes.failure != Failure::Kind::out_of_range) return 0;

    const FileText& text = bytes.text;
    check_accounting(blocks_numbered(text, {403}), [](Context& c, const BlockSet& b, Observer& o) {
        NodeTable t;
        return read_nodes(c, b, t, &o);
    });
    check_accounting(blocks_numbered(text, {404}), [](Context& c, const BlockSet& b, Observer& o) {
        ElementTable t;
        return read_elements(c, b, t, &o);
    });
    check_kept(blocks_numbered(text, {403}), blocks_numbered(text, {404}));
    check_shared_walks(blocks_numbered(text, {403}), blocks_numbered(text, {404}), seed);
    check_accounting(blocks_numbered(text, {402}), [](Context& c, const BlockSet& b, Observer& o) {
        std::vector<Property> t;
        return read_properties(c, b, t, &o);
    });
    check_accounting(blocks_numbered(text, {450}), [](Context& c, const BlockSet& b, Observer& o) {
        std::vector<OutputSet> t;
        return read_output_sets(c, b, t, &o);
    });
    check_accounting(blocks_numbered(text, {1051, 451}), [](Context& c, const BlockSet& b, Observer& o) {
        VectorTable t;
        return read_vectors(c, b, t, Keep::values, &o);
    });
    {
        PlainHost host;
        Context ctx(host);
        std::vector<int32_t> materials;
        read_materials(ctx, blocks_numbered(text, {601}), materials);
    }
    check_vectors(blocks_numbered(text, {1051, 451}));
    check_shared_vectors(blocks_numbered(text, {1051, 451}));
    return 0;
}

#ifdef FUZZ_CORE_MAIN
int main(int argc, char** argv) {
    for (int k = 1; k < argc; ++k) {
        std::ifstream in(argv[k], std::ios::binary);
        const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    }
    std::printf("ran %d inputs\n", argc - 1);
    return 0;
}
#endif
