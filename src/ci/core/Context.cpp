#include "Context.h"

#include "Memory.h"
#include "Node.h"

#include <tbb/blocked_range2d.h>
#include <tbb/enumerable_thread_specific.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>
#include <tbb/task_scheduler_observer.h>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <array>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstring>
#include <deque>
#include <functional>
#include <limits>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <unordered_set>

namespace ci {

// ---- sRGB curves ----------------------------------------------------------------------------

float srgbDecode(float v) {
    const float a = std::fabs(v);
    const float r = a <= 0.04045f ? a / 12.92f : std::pow((a + 0.055f) / 1.055f, 2.4f);
    return v < 0 ? -r : r;
}

float srgbEncode(float v) {
    const float a = std::fabs(v);
    const float r = a <= 0.0031308f ? a * 12.92f : 1.055f * std::pow(a, 1.0f / 2.4f) - 0.055f;
    return v < 0 ? -r : r;
}

namespace {

// Encoding to 8 bits looks the code up by the float's exponent and top mantissa bits: buckets are
// narrower than the gap between neighbouring thresholds, so each holds at most one and a single
// comparison settles the code.
constexpr int kBucketShift = 16;                                           // keeps 7 mantissa bits
constexpr uint32_t kBucketBase = 0x39000000u >> kBucketShift;              // 2^-13, below the first threshold
constexpr int kBuckets = int((0x3f800000u >> kBucketShift) - kBucketBase); // up to 1.0

struct SrgbTables {
    float decode[256];
    // thresholds[k]: the linear value halfway (in encoded terms) between codes k and k + 1.
    float thresholds[256];
    // The code of each bucket's lowest value.
    uint8_t bucketCode[kBuckets];
    SrgbTables() {
        auto dec = [](double v) { return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
        for (int i = 0; i < 256; ++i)
            decode[i] = float(dec(i / 255.0));
        for (int k = 0; k < 255; ++k)
            thresholds[k] = float(dec((k + 0.5) / 255.0));
        thresholds[255] = INFINITY;
        int code = 0;
        for (int b = 0; b < kBuckets; ++b) {
            const float low = std::bit_cast<float>((kBucketBase + uint32_t(b)) << kBucketShift);
            while (code < 255 && thresholds[code] < low)
                ++code;
            bucketCode[b] = uint8_t(code);
        }
    }
};

const SrgbTables& tables() {
    static const SrgbTables t;
    return t;
}

} // namespace

float srgbDecode8(uint8_t v) {
    return tables().decode[v];
}

namespace {

// The number of thresholds below `linear`: the nearest code.
inline uint8_t encode8(const SrgbTables& t, float linear) {
    if (!(linear > t.thresholds[0]))
        return 0; // also NaN
    if (linear >= 1.f)
        return 255;
    const uint32_t bucket = (std::bit_cast<uint32_t>(linear) >> kBucketShift) - kBucketBase;
    const int code = t.bucketCode[bucket];
    return uint8_t(code + (t.thresholds[code] < linear ? 1 : 0));
}

} // namespace

uint8_t srgbEncode8(float linear) {
    return encode8(tables(), linear);
}

void encodeRowSRGB8(const float* in, uint8_t* out, int64_t n) {
    const SrgbTables& t = tables();
    for (int64_t i = 0; i < n; ++i, in += 4, out += 4) {
        const float a = in[3];
        if (!(a > 0)) {
            out[0] = out[1] = out[2] = out[3] = 0;
            continue;
        }
        const float inv = a >= 1 ? 1.f : 1.f / a;
        out[0] = encode8(t, in[0] * inv);
        out[1] = encode8(t, in[1] * inv);
        out[2] = encode8(t, in[2] * inv);
        out[3] = a >= 1 ? 255 : uint8_t(std::lround(a * 255.f));
    }
}

void encodeRowSRGB16(const float* in, uint16_t* out, int64_t n) {
    auto q = [](float v) { return uint16_t(std::lround(std::clamp(v, 0.f, 1.f) * 65535.f)); };
    for (int64_t i = 0; i < n; ++i, in += 4, out += 4) {
        const float a = in[3];
        if (!(a > 0)) {
            out[0] = out[1] = out[2] = out[3] = 0;
            continue;
        }
        const float inv = a >= 1 ? 1.f : 1.f / a;
        out[0] = q(srgbEncode(in[0] * inv));
        out[1] = q(srgbEncode(in[1] * inv));
        out[2] = q(srgbEncode(in[2] * inv));
        out[3] = q(a);
    }
}

// ---- Renderer -------------------------------------------------------------------------------

namespace {

// Told how many rows at the top of a render are finished.
using RowsDone = std::function<void(int64_t rows)>;

inline void zero(float* p, int64_t pixels) {
    if (pixels > 0)
        std::memset(p, 0, size_t(pixels) * 4 * sizeof(float));
}

// A row of more pixels than an int counts is never needed by a render the budget admits; this
// guards the conversions should a region of interest still come out that wide.
int rowLength(int64_t pixels) {
    if (pixels > std::numeric_limits<int>::max())
        throw MemoryLimitExceeded("a row of " + std::to_string(pixels) + " pixels is needed");
    return int(pixels);
}

// A tile's margins are computed again by each neighbouring tile. A region beyond what the step's
// own scale calls for (a reduction by 8 reads 64 times its area and wastes nothing) is waste, and
// waste multiplies down a chain of such steps; past this the input is held whole instead.
constexpr double kMaxWaste = 1.6;
// No tile evaluates more than this many pixels of one input at once (16 bytes each).
constexpr double kMaxTileRegion = double(1 << 20);
// A unit's tiles are made smaller until no region they evaluate passes this: every worker holds a
// block of each region, and a reduction below a unit (a scale to half reads four times the area)
// would otherwise make them large.
constexpr double kPreferredTileRegion = double(1 << 18);
// A neighbourhood kernel computed per tile evaluates its inputs for the tile one level deeper,
// with a region of its own; past this many levels the input is held whole, so a long workflow
// costs neither stack nor a region per level.
constexpr int kMaxStreamedDepth = 16;
// Inputs with at most this fraction of the render's pixels are held rather than computed again.
constexpr int64_t kSmallInput = 16;
// Work that several units compute is held once where computing it again costs more than writing
// it out and reading it back. Costs are per pixel, in the time a plain colour matrix takes (about
// a nanosecond on a core of its own). A held pixel is 16 bytes written to fresh memory, which the
// system clears first (4 to 25 ns, depending on whether it has whole huge pages at hand and how
// busy the machine is), and read back from main memory (3 ns). Computing again costs more than
// the kernels' own timings say (every step of a row also passes through the renderer), so the
// balance is set from whole effects: holding a vibrance pass with the adjustments below it
// (about 11 of timed cost read twice) saves 7 to 12 percent of their processor time.
constexpr double kHoldCost = 8;
// Estimates for what is not timed: sampling a neighbourhood kernel's inputs, a bilinear sample,
// a copy of a row.
constexpr double kNeighbourhoodCost = 20;
constexpr double kSampleCost = 3;
constexpr double kCopyCost = 0.5;
// Colour kernels are timed on a sample row of this many pixels, the fastest of a few runs, in
// turn with the matrix over the same row: their ratio holds on a busy machine, where both run
// slower.
constexpr int kCostSamplePixels = 256;
constexpr int kCostSampleRuns = 5;
// At most this many holds per render, and together no more bytes than the render's own pixels
// take: work saved must not cost the memory that lets large pictures render at all.
constexpr int kMaxSharedHolds = 4;

struct NodeState {
    IRect demand;
    bool materialize = false;
    std::unique_ptr<Bitmap> cache;
    const Bitmap* view = nullptr;    // the node's pixels once held (source bitmap or cache)
    int readers = 0;                 // units that still read the view
    std::vector<const Node*> leaves; // held nodes this unit reads while computing
    bool shared = false;             // a colour kernel or compact source read by several consumers
    int64_t tile = 0;                // tile side when computed as a unit (held, or the root)
    size_t index = 0;                // position in the render's order
    // For a unit: the nodes its tiles compute along with it, consumers before their inputs.
    std::vector<const Node*> members;
    double cost = -1; // per pixel to compute (see kHoldCost), once estimated
};

// One node's row during row evaluation: `count` pixels from x0 at row y; [a, b) is the part
// inside the node's extent, set when its inputs have been asked for. A row kept for the tile is
// computed over the node's whole region and handed out from `asked` on.
struct RowFrame {
    const Node* node;
    int64_t y, x0;
    int count;
    int64_t a = 0, b = 0;
    bool expanded = false;
    bool keep = false;
    int64_t asked = 0;
};

// A finished row: its pixels, and the pool buffer that holds them (-1: a view or the caller's).
struct RowResult {
    const float* pixels;
    int buffer;
};

// Row evaluation walks the fused nodes with an explicit stack instead of recursing, so a workflow
// of any length costs heap rather than stack; row buffers come from a pool and go back as soon as
// their consumer has run, so a long chain needs only a few of them.
struct RowStack {
    std::vector<RowFrame> frames;
    std::vector<RowResult> results;
    std::vector<std::vector<float>> buffers;
    std::vector<int> unused;

    int acquire(size_t floats) {
        int i;
        if (unused.empty()) {
            i = int(buffers.size());
            buffers.emplace_back();
        } else {
            i = unused.back();
            unused.pop_back();
        }
        if (buffers[size_t(i)].size() < floats)
            buffers[size_t(i)].resize(floats);
        return i;
    }
    void release(int i) {
        if (i >= 0)
            unused.push_back(i);
    }
};

// A node's pixels over the region the current tile needs of it: a neighbourhood kernel (computed
// whole when first asked for), or a colour kernel with several consumers (row by row as asked).
// The allocation is kept from tile to tile.
struct TileBlock {
    uint64_t serial = 0; // the tile the pixels belong to
    Bitmap px;
    std::vector<uint8_t> done; // rows computed, for a colour kernel
    // Regions asked for beyond the planned one; a plan never leaves any, but a region-of-interest
    // function that is not monotonic could.
    std::vector<std::unique_ptr<Bitmap>> extra;
};

// Per-worker state of a render, kept from tile to tile.
struct Scratch {
    uint64_t serial = 0;                   // counts the tiles this worker has started
    bool busy = false;                     // a tile is being computed with it
    std::vector<IRect> need;               // per node: the region the current tile needs
    std::vector<TileBlock> blocks;         // per node
    std::deque<std::deque<Bitmap>> locals; // inputs evaluated for a kernel, per nesting level
    size_t depth = 0;
    std::vector<float> rootRow;
    RowStack rows;
    std::vector<double> coords[2];
    double* coord(int which, size_t n) {
        if (coords[which].size() < n)
            coords[which].resize(n);
        return coords[which].data();
    }
};

// Clears the upper halves of the vector registers (see below).
void clearVectorState();

class Renderer {
  public:
    Renderer(const Context::Options& o) : opts_(o) {}

    // Decides what is held whole and what is fused; an error when the pixel blocks that the
    // render needs, with `outputBytes` for the result, do not fit in the memory budget.
    // With `holdShared`, work that several units would compute over a large region is held once.
    std::string plan(const Node* root, const IRect& region, int64_t outputBytes, bool holdShared);
    bool holdsSharedWork() const { return sharedHolds_ > 0; }
    // Computes every held node, then hands the root's pixels to sink tile by tile; stops early
    // once the options' cancel flag is set. With `rowsDone`, the root's tiles go from the top
    // down and rowsDone(k) says that the k rows at the top have all been through sink.
    template <class Sink> void run(const IRect& region, Sink&& sink, const RowsDone& rowsDone = {});
    bool cancelled() const { return opts_.cancel && opts_.cancel->load(std::memory_order_relaxed); }

  private:
    void order(const Node* n, std::unordered_set<const Node*>& seen);
    void collectLeaves(const Node* unit);
    void collectMembers(const Node* unit);
    // What the tiles of a unit compute along with it.
    std::unordered_set<const Node*> streamedWith(const Node* unit);
    // Where the tiles of several units compute the same work over a large region (the reduced
    // copy behind a wide blur reads the very steps the full-size tiles compute), holds a result
    // whole so it is computed once, if that costs less than computing it again and the memory
    // budget has room; false when nothing was held.
    bool holdSharedWork(std::vector<const Node*>& units, int64_t outputBytes);
    // What computing one pixel of n costs, in the time a plain colour matrix takes.
    double pixelCost(const Node* n);
    // The work of computing every unit with what its tiles compute along with it, counting only
    // `shared` nodes: a hold changes how often no other is computed.
    double work(const std::vector<const Node*>& units, const std::unordered_set<const Node*>& shared);
    void compute(const Node* n);
    void release(const Node* unit);
    // Follows a tile `r` of the unit n down its inputs, through everything computed along with
    // it, and holds an input whole where computing it per tile would waste too much work or need
    // too large a region. With `dry` nothing is held; the result says whether every region fit.
    // `streamed` counts the neighbourhood kernels computed per tile above n.
    bool descend(const Node* n, const Rect& r, double waste, std::vector<const Node*>& units, int& visits,
                 bool dry, double maxRegion = kMaxTileRegion, int streamed = 0);
    // The tile side for a unit: the render's, or smaller where a reduction below it would make a
    // tile's regions too large.
    int64_t unitTile(const Node* n);
    // The most bytes that held blocks take at once while run() computes them.
    int64_t heldPeak() const;
    // What a kernel that sees its whole region at once holds of its inputs that are not held.
    int64_t wholeInputBytes(const Node* n) const;
    // Starts a tile of a unit: what the tile needs of each node computed along with it, the union
    // over all its consumers, so each is computed once per tile whoever asks first.
    void startTile(const Node* unit, const IRect& tile, Scratch& s);
    // Runs a general kernel over a region. Inputs that are held are read in place; the others
    // are evaluated over the region of interest only, so they never need a whole copy.
    void runGeneral(const Node* n, const IRect& region, Bitmap& out, Scratch& s);
    // The inputs of a node that reads neighbours, for output rectangle r: held ones in place,
    // neighbourhood kernels and shared colour kernels from their tile blocks, the others
    // evaluated over their region of interest.
    std::vector<const Bitmap*> tileInputs(const Node* n, const IRect& r, Scratch& s);
    // The pixels of a node that reads neighbours over at least `want`, computed for the tile.
    const Bitmap& spatialBlock(const Node* n, const IRect& want, Scratch& s);
    void computeSpatial(const Node* n, const IRect& r, Bitmap& out, Scratch& s);
    // The tile block of a shared colour kernel, started for this tile.
    TileBlock& sharedBlock(const Node* n, Scratch& s);
    // Samples a row of a transform, clamp or warp from its input's pixels.
    void sampleRow(const Node* n, const Bitmap& src, int64_t y, int64_t x0, int count, float* out,
                   Scratch& s);
    // The pixels of n on row y from x0: a pointer into held pixels or a tile block, or `buf`
    // filled.
    const float* evalRow(const Node* n, int64_t y, int64_t x0, int count, float* buf, Scratch& s);
    // One step of evalRow for the frame on top of the stack: asks for its inputs, or finishes it.
    void expandRow(const RowFrame& f, float* callerBuf, Scratch& s);
    void finishRow(const RowFrame& f, float* callerBuf, Scratch& s);
    // Takes the finished frame off the stack with its row.
    void completeRow(const RowFrame& f, const float* pixels, int buffer, Scratch& s);
    // The buffer a frame writes its row into.
    float* rowOutput(const RowFrame& f, float* callerBuf, int& buffer, Scratch& s);
    template <class F> void forTiles(const Node* unit, const IRect& r, int64_t ts, F&& f);
    template <class F>
    void forTilesTopFirst(const Node* unit, const IRect& r, int64_t ts, F&& f, const RowsDone& rowsDone);
    Scratch makeScratch() const;

    const Context::Options& opts_;
    const Node* root_ = nullptr;
    std::vector<const Node*> order_; // inputs before consumers
    std::unordered_map<const Node*, NodeState> state_;
    int sharedHolds_ = 0;
    int64_t sharedBytes_ = 0; // held to save work
};

void Renderer::startTile(const Node* unit, const IRect& tile, Scratch& s) {
    ++s.serial;
    const NodeState& us = state_.find(unit)->second;
    for (const Node* m : us.members)
        s.need[state_.find(m)->second.index] = IRect{};
    s.need[us.index] = tile;
    auto spread = [&](const Node* n) {
        const IRect r = s.need[state_.find(n)->second.index];
        if (r.isEmpty())
            return;
        for (size_t k = 0; k < n->inputs.size(); ++k) {
            const Node* in = n->inputs[k].node().get();
            const NodeState& is = state_.find(in)->second;
            if (is.view || is.materialize || in->kind == NodeKind::Constant)
                continue;
            const IRect want = n->roi(int(k), Rect::fromIRect(r))
                                   .roundedOutPixels()
                                   .intersected(in->extent.coveredPixels())
                                   .intersected(is.demand);
            IRect& need = s.need[is.index];
            need = need.united(want);
        }
    };
    spread(unit);
    for (const Node* m : us.members)
        spread(m);
}

std::vector<const Bitmap*> Renderer::tileInputs(const Node* n, const IRect& r, Scratch& s) {
    std::vector<const Bitmap*> inputs;
    // Evaluations nested below this one (an input that is itself a neighbourhood kernel) use the
    // levels deeper than this.
    const size_t level = s.depth++;
    if (s.locals.size() <= level)
        s.locals.resize(level + 1);
    size_t used = 0;
    for (size_t k = 0; k < n->inputs.size(); ++k) {
        const Node* in = n->inputs[k].node().get();
        const NodeState& is = state_.find(in)->second;
        if (is.view) {
            inputs.push_back(is.view);
            continue;
        }
        const IRect need = n->roi(int(k), Rect::fromIRect(r))
                               .roundedOutPixels()
                               .intersected(in->extent.coveredPixels())
                               .intersected(is.demand);
        if (in->readsNeighbours() && !need.isEmpty()) {
            inputs.push_back(&spatialBlock(in, need, s));
            continue;
        }
        const int width = rowLength(need.width());
        if (is.shared && !need.isEmpty() && s.need[is.index].contains(need)) {
            // Its rows go into its tile block; the kernel reads them there.
            for (int64_t y = need.y0; y < need.y1; ++y)
                evalRow(in, y, need.x0, width, nullptr, s);
            inputs.push_back(&sharedBlock(in, s).px);
            continue;
        }
        std::deque<Bitmap>& local = s.locals[level];
        if (local.size() <= used)
            local.emplace_back();
        Bitmap& bm = local[used++];
        bm.reshape(need);
        for (int64_t y = need.y0; y < need.y1; ++y) {
            float* dst = bm.row(y);
            const float* p = evalRow(in, y, need.x0, width, dst, s);
            if (p != dst)
                std::memcpy(dst, p, size_t(width) * 4 * sizeof(float));
        }
        inputs.push_back(&bm);
    }
    --s.depth;
    return inputs;
}

void Renderer::runGeneral(const Node* n, const IRect& region, Bitmap& out, Scratch& s) {
    const std::vector<const Bitmap*> inputs = tileInputs(n, region, s);
    n->generalFn(KernelTile{region, &out, inputs});
}

void Renderer::computeSpatial(const Node* n, const IRect& r, Bitmap& out, Scratch& s) {
    if (n->kind == NodeKind::General) {
        runGeneral(n, r, out, s);
        return;
    }
    const std::vector<const Bitmap*> inputs = tileInputs(n, r, s);
    for (int64_t y = r.y0; y < r.y1; ++y)
        sampleRow(n, *inputs[0], y, r.x0, rowLength(r.width()), out.row(y), s);
}

const Bitmap& Renderer::spatialBlock(const Node* n, const IRect& want, Scratch& s) {
    const NodeState& st = state_.find(n)->second;
    TileBlock& b = s.blocks[st.index];
    if (b.serial != s.serial) {
        b.serial = s.serial;
        b.extra.clear();
        const IRect& r = s.need[st.index];
        if (r.contains(want)) {
            b.px.reshape(r);
            computeSpatial(n, r, b.px, s);
            return b.px;
        }
        b.px.reshape(IRect{});
    } else if (b.px.rect().contains(want)) {
        return b.px;
    }
    for (const auto& e : b.extra)
        if (e->rect().contains(want))
            return *e;
    b.extra.push_back(std::make_unique<Bitmap>(want));
    computeSpatial(n, want, *b.extra.back(), s);
    return *b.extra.back();
}

TileBlock& Renderer::sharedBlock(const Node* n, Scratch& s) {
    const NodeState& st = state_.find(n)->second;
    TileBlock& b = s.blocks[st.index];
    if (b.serial != s.serial) {
        b.serial = s.serial;
        const IRect& r = s.need[st.index];
        b.px.reshape(r);
        b.done.assign(size_t(r.height()), 0);
    }
    return b;
}

IRect probeTile(const IRect& d, int64_t ts) {
    const int64_t cx = (d.x0 + d.x1) / 2, cy = (d.y0 + d.y1) / 2;
    return IRect{cx - ts / 2, cy - ts / 2, cx + ts / 2, cy + ts / 2}.intersected(d);
}

bool Renderer::descend(const Node* n, const Rect& r, double waste, std::vector<const Node*>& units,
                       int& visits, bool dry, double maxRegion, int streamed) {
    bool fits = true;
    for (size_t k = 0; k < n->inputs.size(); ++k) {
        const Node* in = n->inputs[k].node().get();
        NodeState& is = state_[in];
        if (in->kind == NodeKind::Constant || is.materialize || (in->kind == NodeKind::Source && is.view))
            continue; // read in place
        const Rect cover =
            in->extent.isInfinite() ? Rect::infinite() : Rect::fromIRect(in->extent.coveredPixels());
        const Rect need = n->roi(int(k), r).intersected(cover);
        if (need.isEmpty() || r.isEmpty())
            continue;
        // What the step reads over its whole demand, per pixel of it: the size its tiles call for.
        const IRect d = state_[n].demand;
        const Rect whole = n->roi(int(k), Rect::fromIRect(d)).intersected(cover);
        double scale = 1;
        if (!whole.isInfinite() && !whole.isEmpty() && !d.isEmpty())
            scale = std::max(1.0, whole.width() * whole.height() / double(d.area()));
        const bool infinite = need.isInfinite();
        const double area = infinite ? INFINITY : need.width() * need.height();
        const double w = waste * std::max(1.0, area / (r.width() * r.height() * scale));
        const bool tooLarge = infinite || area > maxRegion;
        if (in->kind == NodeKind::Source) {
            // Compact samples are converted for each tile into a block of the region it reads.
            // Where that region grows with the tile (a reduction straight from a decoded
            // photograph), it counts like any other, or every worker would convert a megapixel at
            // a time into fresh memory; where it does not (a kernel that reads far and wide),
            // smaller tiles would only convert it more often.
            if (w <= kMaxWaste)
                fits = fits && !tooLarge;
            continue;
        }
        const int deeper = streamed + (in->readsNeighbours() ? 1 : 0);
        // An input far smaller than the render (the reduced copy behind a wide blur) costs little
        // to hold, and held it is computed once rather than once per tile with its margins.
        const bool small = is.demand.area() <= state_[root_].demand.area() / kSmallInput;
        if (tooLarge || w > kMaxWaste || (small && w > 1.05) || --visits < 0 || deeper > kMaxStreamedDepth ||
            (in->kind == NodeKind::General && !in->tileable)) {
            fits = fits && !tooLarge;
            if (!dry) {
                is.materialize = true;
                units.push_back(in);
            }
            continue;
        }
        fits = descend(in, need, w, units, visits, dry, maxRegion, deeper) && fits;
    }
    return fits;
}

int64_t Renderer::unitTile(const Node* n) {
    const IRect d = state_[n].demand;
    int64_t ts = std::max(8, opts_.tileSize);
    std::vector<const Node*> none;
    for (; ts > 16; ts /= 2) {
        int visits = 4000;
        if (descend(n, Rect::fromIRect(probeTile(d, ts)), 1.0, none, visits, true, kPreferredTileRegion))
            break;
    }
    return ts;
}

void Renderer::sampleRow(const Node* n, const Bitmap& src, int64_t y, int64_t a, int inner, float* out,
                         Scratch& s) {
    switch (n->kind) {
    case NodeKind::Transform: {
        const Affine& m = n->inverse;
        const bool intShift = m.a == 1 && m.b == 0 && m.c == 0 && m.d == 1 && m.tx == std::floor(m.tx) &&
                              m.ty == std::floor(m.ty);
        if (intShift) {
            for (int i = 0; i < inner; ++i)
                src.read(a + i + int64_t(m.tx), y + int64_t(m.ty), out + 4 * i);
        } else {
            const double cy = y + 0.5;
            for (int i = 0; i < inner; ++i) {
                const double cx = double(a + i) + 0.5;
                src.sample(m.a * cx + m.c * cy + m.tx, m.b * cx + m.d * cy + m.ty, out + 4 * i);
            }
        }
        break;
    }
    case NodeKind::Clamp: {
        const Rect e = n->inputs[0].extent();
        const double lx = e.x0 + 0.5, hx = std::max(lx, e.x1 - 0.5);
        const double ly = e.y0 + 0.5, hy = std::max(ly, e.y1 - 0.5);
        const double sy = std::clamp(y + 0.5, ly, hy);
        for (int i = 0; i < inner; ++i)
            src.sample(std::clamp(double(a + i) + 0.5, lx, hx), sy, out + 4 * i);
        break;
    }
    case NodeKind::Warp: {
        double* sx = s.coord(0, size_t(inner));
        double* sy = s.coord(1, size_t(inner));
        n->warpFn(WarpRow{sx, sy, inner, a, y});
        for (int i = 0; i < inner; ++i)
            src.sample(sx[i], sy[i], out + 4 * i);
        break;
    }
    default:
        zero(out, inner);
        break;
    }
}

void Renderer::order(const Node* n, std::unordered_set<const Node*>& seen) {
    // Iterative post-order, so very long chains do not exhaust the stack.
    std::vector<std::pair<const Node*, size_t>> stack{{n, 0}};
    seen.insert(n);
    while (!stack.empty()) {
        auto& [node, next] = stack.back();
        if (next < node->inputs.size()) {
            const Node* in = node->inputs[next++].node().get();
            if (seen.insert(in).second)
                stack.push_back({in, 0});
            continue;
        }
        order_.push_back(node);
        stack.pop_back();
    }
}

std::string Renderer::plan(const Node* root, const IRect& region, int64_t outputBytes, bool holdShared) {
    root_ = root;
    std::unordered_set<const Node*> seen;
    order(root, seen);
    for (size_t i = 0; i < order_.size(); ++i)
        state_[order_[i]].index = i;
    state_[root].demand = region;

    // Demand: consumers before inputs.
    for (auto it = order_.rbegin(); it != order_.rend(); ++it) {
        const Node* n = *it;
        NodeState& st = state_[n];
        st.demand = st.demand.intersected(n->extent.coveredPixels());
        if (n->kind == NodeKind::Source)
            st.view = n->bitmap.get();
        // A general kernel read in place is computed tile by tile where it is read; only one
        // that must see its whole region at once, or is read at other places, is held whole.
        if (n->kind == NodeKind::General && !n->tileable)
            st.materialize = true;
        if (st.demand.isEmpty())
            continue;
        for (size_t k = 0; k < n->inputs.size(); ++k) {
            const Node* in = n->inputs[k].node().get();
            const Rect need = n->roi(int(k), Rect::fromIRect(st.demand));
            state_[in].demand =
                state_[in].demand.united(need.roundedOutPixels().intersected(in->extent.coveredPixels()));
        }
    }
    // What is held whole: from each unit (the root, and whatever must see its whole region at
    // once) down through what its tiles compute along with them, to where that gets too costly.
    std::vector<const Node*> units{root};
    for (const Node* n : order_)
        if (state_[n].materialize && n != root)
            units.push_back(n);
    for (size_t u = 0; u < units.size(); ++u) {
        NodeState& st = state_[units[u]];
        st.tile = unitTile(units[u]);
        int visits = 4000;
        descend(units[u], Rect::fromIRect(probeTile(st.demand, st.tile)), 1.0, units, visits, false);
        if (holdShared && u + 1 == units.size() && sharedHolds_ < kMaxSharedHolds &&
            holdSharedWork(units, outputBytes))
            ++sharedHolds_;
    }
    for (const Node* n : order_)
        if (state_[n].materialize || n == root) {
            collectLeaves(n);
            collectMembers(n);
        }
    std::unordered_map<const Node*, int> consumers;
    for (const Node* n : order_)
        for (const Image& in : n->inputs)
            ++consumers[in.node().get()];
    for (const Node* n : order_) {
        NodeState& st = state_[n];
        st.shared = (n->kind == NodeKind::Color || n->compact) && !st.materialize && consumers[n] > 1;
    }
    if (std::string refused = memory::admit(saturatingAdd(heldPeak(), outputBytes)); !refused.empty())
        return "The image is too large: " + refused;
    return {};
}

int64_t Renderer::wholeInputBytes(const Node* n) const {
    if (n->kind != NodeKind::General || n->tileable)
        return 0; // tiles evaluate their inputs a tile at a time
    const NodeState& st = state_.find(n)->second;
    int64_t bytes = 0;
    for (size_t k = 0; k < n->inputs.size(); ++k) {
        const Node* in = n->inputs[k].node().get();
        const NodeState& is = state_.find(in)->second;
        if (is.materialize || in->bitmap)
            continue;
        const IRect need = n->roi(int(k), Rect::fromIRect(st.demand))
                               .roundedOutPixels()
                               .intersected(in->extent.coveredPixels())
                               .intersected(is.demand);
        bytes = saturatingAdd(bytes, Bitmap::bytesFor(need));
    }
    return bytes;
}

int64_t Renderer::heldPeak() const {
    std::unordered_map<const Node*, int> readers;
    int64_t held = 0, peak = 0;
    for (const Node* n : order_) {
        const NodeState& st = state_.find(n)->second;
        if (!st.materialize)
            continue;
        held = saturatingAdd(held, Bitmap::bytesFor(st.demand));
        peak = std::max(peak, saturatingAdd(held, wholeInputBytes(n)));
        if (n == root_)
            continue;
        for (const Node* leaf : st.leaves) {
            const NodeState& ls = state_.find(leaf)->second;
            auto [it, fresh] = readers.try_emplace(leaf, ls.readers);
            if (--it->second == 0 && ls.materialize)
                held -= Bitmap::bytesFor(ls.demand);
        }
    }
    return peak;
}

// The held nodes that computing `unit` reads: walk through the fused nodes down to held ones.
void Renderer::collectLeaves(const Node* unit) {
    NodeState& us = state_[unit];
    std::unordered_set<const Node*> found, visited;
    std::vector<const Node*> stack;
    for (const Image& in : unit->inputs)
        stack.push_back(in.node().get());
    while (!stack.empty()) {
        const Node* n = stack.back();
        stack.pop_back();
        if (!visited.insert(n).second)
            continue;
        const NodeState& st = state_[n];
        if (st.materialize || n->kind == NodeKind::Source) {
            found.insert(n);
            continue;
        }
        for (const Image& in : n->inputs)
            stack.push_back(in.node().get());
    }
    for (const Node* leaf : found) {
        us.leaves.push_back(leaf);
        state_[leaf].readers++;
    }
}

std::unordered_set<const Node*> Renderer::streamedWith(const Node* unit) {
    std::unordered_set<const Node*> found;
    std::vector<const Node*> stack{unit};
    while (!stack.empty()) {
        const Node* n = stack.back();
        stack.pop_back();
        for (const Image& in : n->inputs) {
            const Node* i = in.node().get();
            const NodeState& st = state_[i];
            if (!st.materialize && !i->bitmap && i->kind != NodeKind::Constant && found.insert(i).second)
                stack.push_back(i);
        }
    }
    return found;
}

// The yardstick colour kernels are timed against: a 3x3 matrix on the colour, alpha kept.
[[gnu::noinline]] void matrixRow(const float* in, float* out, int count) {
    static constexpr float m[9] = {0.8f, 0.1f, 0.1f, 0.05f, 0.9f, 0.05f, 0.1f, 0.2f, 0.7f};
    for (int i = 0; i < count * 4; i += 4) {
        for (int c = 0; c < 3; ++c)
            out[i + c] = m[3 * c] * in[i] + m[3 * c + 1] * in[i + 1] + m[3 * c + 2] * in[i + 2];
        out[i + 3] = in[i + 3];
    }
}

double Renderer::pixelCost(const Node* n) {
    NodeState& st = state_[n];
    if (st.cost >= 0)
        return st.cost;
    switch (n->kind) {
    case NodeKind::Source:
    case NodeKind::Constant:
        st.cost = n->compact ? kCopyCost : 0;
        break;
    case NodeKind::Crop:
        st.cost = kCopyCost;
        break;
    case NodeKind::Clamp:
        st.cost = n->pixelAligned ? kCopyCost : kSampleCost;
        break;
    case NodeKind::Transform:
    case NodeKind::Warp:
        st.cost = kSampleCost;
        break;
    case NodeKind::General:
        st.cost = kNeighbourhoodCost;
        break;
    case NodeKind::Color: {
        // Their maths ranges from a plain matrix to conversions into a gamma space and back, so
        // they are timed on a row of greys and colours with some transparency, at a place they
        // are asked for (a kernel may look its pixels up by place).
        const IRect& d = st.demand;
        const int count = int(std::min<int64_t>(kCostSamplePixels, d.width()));
        if (d.isEmpty()) {
            st.cost = 0;
            break;
        }
        std::vector<std::vector<float>> rows(std::max<size_t>(1, n->inputs.size()));
        for (std::vector<float>& row : rows) {
            row.resize(size_t(count) * 4);
            for (int i = 0; i < count; ++i) {
                const float a = i % 5 == 0 ? 0.5f : 1.f;
                row[size_t(i) * 4] = a * float(i % 16) / 15.f;
                row[size_t(i) * 4 + 1] = a * float(i % 7) / 6.f;
                row[size_t(i) * 4 + 2] = a * float(i) / float(count);
                row[size_t(i) * 4 + 3] = a;
            }
        }
        std::vector<const float*> ins;
        for (size_t k = 0; k < n->inputs.size(); ++k)
            ins.push_back(rows[k].data());
        std::vector<float> out(size_t(count) * 4);
        const ColorRow row{ins.data(), out.data(), count, d.x0, d.y0};
        // Timed as a render's threads run it: the calling thread may have a dirty vector state.
        clearVectorState();
        n->colorFn(row); // warms the caches
        std::vector<float> yardstick(size_t(count) * 4);
        matrixRow(rows[0].data(), yardstick.data(), count);
        double kernel = INFINITY, matrix = INFINITY;
        auto elapsed = [](auto t0, auto t1) {
            return std::chrono::duration<double, std::nano>(t1 - t0).count();
        };
        for (int run = 0; run < kCostSampleRuns; ++run) {
            const auto t0 = std::chrono::steady_clock::now();
            n->colorFn(row);
            const auto t1 = std::chrono::steady_clock::now();
            matrixRow(rows[0].data(), yardstick.data(), count);
            const auto t2 = std::chrono::steady_clock::now();
            kernel = std::min(kernel, elapsed(t0, t1));
            matrix = std::min(matrix, elapsed(t1, t2));
        }
        st.cost = kernel / std::max(matrix, 1.0);
        break;
    }
    }
    return st.cost;
}

double Renderer::work(const std::vector<const Node*>& units, const std::unordered_set<const Node*>& shared) {
    double total = 0;
    auto add = [&](const Node* n) {
        if (shared.count(n))
            total += pixelCost(n) * double(state_[n].demand.area());
    };
    for (const Node* u : units) {
        add(u);
        for (const Node* m : streamedWith(u))
            add(m);
    }
    return total;
}

bool Renderer::holdSharedWork(std::vector<const Node*>& units, int64_t outputBytes) {
    std::unordered_map<const Node*, int> computedBy;
    for (const Node* u : units)
        for (const Node* m : streamedWith(u))
            ++computedBy[m];
    const int64_t large = state_[root_].demand.area() / kSmallInput;
    const int64_t room = Bitmap::bytesFor(state_[root_].demand) - sharedBytes_;
    std::unordered_set<const Node*> shared;
    for (const auto& [n, count] : computedBy)
        if (count > 1)
            shared.insert(n);
    std::vector<const Node*> candidates;
    for (const Node* n : order_) {
        const NodeState& st = state_[n];
        const int64_t bytes = Bitmap::bytesFor(st.demand);
        if (shared.count(n) && st.demand.area() > large && n->kind != NodeKind::Source &&
            n->kind != NodeKind::Constant && bytes <= room &&
            memory::admit(saturatingAdd(saturatingMul(bytes, 2), outputBytes)).empty())
            candidates.push_back(n);
    }
    if (candidates.empty())
        return false;
    // Of those, the one whose hold saves the most work net of writing it out and reading it back:
    // what the units still compute below it counts against it.
    const double before = work(units, shared);
    const Node* best = nullptr;
    double bestGain = 0;
    for (const Node* n : candidates) {
        NodeState& st = state_[n];
        st.materialize = true;
        units.push_back(n);
        const double gain = before - work(units, shared) - kHoldCost * double(st.demand.area());
        units.pop_back();
        st.materialize = false;
        if (gain > bestGain) {
            best = n;
            bestGain = gain;
        }
    }
    if (!best)
        return false;
    state_[best].materialize = true;
    sharedBytes_ += Bitmap::bytesFor(state_[best].demand);
    units.push_back(best);
    return true;
}

void Renderer::collectMembers(const Node* unit) {
    const std::unordered_set<const Node*> found = streamedWith(unit);
    std::vector<const Node*>& members = state_[unit].members;
    members.assign(found.begin(), found.end());
    std::sort(members.begin(), members.end(),
              [&](const Node* a, const Node* b) { return state_[a].index > state_[b].index; });
}

void Renderer::release(const Node* unit) {
    for (const Node* leaf : state_[unit].leaves) {
        NodeState& ls = state_[leaf];
        if (--ls.readers == 0 && ls.cache) {
            ls.cache.reset();
            ls.view = nullptr;
        }
    }
}

Scratch Renderer::makeScratch() const {
    Scratch s;
    s.need.resize(order_.size());
    s.blocks.resize(order_.size());
    return s;
}

template <class F> void Renderer::forTiles(const Node* unit, const IRect& r, int64_t ts, F&& f) {
    ts = std::max<int64_t>(ts, 8);
    const int64_t nx = (r.width() + ts - 1) / ts, ny = (r.height() + ts - 1) / ts;
    const auto tiles = checkedMul(nx, ny);
    if (!tiles)
        throw MemoryLimitExceeded("too many tiles");
    // Each worker keeps its blocks and buffers from tile to tile.
    tbb::enumerable_thread_specific<Scratch> scratches([this] { return makeScratch(); });
    tbb::parallel_for(tbb::blocked_range<int64_t>(0, *tiles), [&](const tbb::blocked_range<int64_t>& range) {
        Scratch* s = &scratches.local();
        // A kernel that runs parallel work of its own may have this thread take up another tile
        // while its own is unfinished; that one gets a scratch of its own.
        std::optional<Scratch> fresh;
        if (s->busy)
            s = &fresh.emplace(makeScratch());
        s->busy = true;
        for (int64_t t = range.begin(); t != range.end(); ++t) {
            if (cancelled())
                break;
            const int64_t tx = t % nx, ty = t / nx;
            IRect tile{r.x0 + tx * ts, r.y0 + ty * ts, std::min(r.x1, r.x0 + (tx + 1) * ts),
                       std::min(r.y1, r.y0 + (ty + 1) * ts)};
            startTile(unit, tile, *s);
            f(tile, *s);
        }
        s->busy = false;
    });
}

template <class F>
void Renderer::forTilesTopFirst(const Node* unit, const IRect& r, int64_t ts, F&& f,
                                const RowsDone& rowsDone) {
    ts = std::max<int64_t>(ts, 8);
    const int64_t nx = (r.width() + ts - 1) / ts, ny = (r.height() + ts - 1) / ts;
    const auto tiles = checkedMul(nx, ny);
    if (!tiles)
        throw MemoryLimitExceeded("too many tiles");
    // Every worker takes the next tile in order, so rows of tiles finish from the top down, and
    // whoever waits for the top rows (an encoder) can start long before the bottom is done.
    std::atomic<int64_t> next{0};
    std::vector<std::atomic<int64_t>> left(static_cast<size_t>(ny));
    for (auto& l : left)
        l.store(nx);
    std::mutex finishing;
    std::vector<char> finished(size_t(ny), 0);
    int64_t finishedRows = 0; // rows of tiles finished without a gap from the top
    tbb::enumerable_thread_specific<Scratch> scratches([this] { return makeScratch(); });
    tbb::parallel_for(0, std::max(1, tbb::this_task_arena::max_concurrency()), [&](int) {
        Scratch* s = &scratches.local();
        std::optional<Scratch> fresh;
        if (s->busy)
            s = &fresh.emplace(makeScratch());
        s->busy = true;
        for (;;) {
            if (cancelled() || tbb::is_current_task_group_canceling())
                break;
            const int64_t t = next.fetch_add(1);
            if (t >= *tiles)
                break;
            const int64_t j = t / nx, tx = t % nx, ty = ny - 1 - j;
            IRect tile{r.x0 + tx * ts, r.y0 + ty * ts, std::min(r.x1, r.x0 + (tx + 1) * ts),
                       std::min(r.y1, r.y0 + (ty + 1) * ts)};
            startTile(unit, tile, *s);
            f(tile, *s);
            if (left[size_t(j)].fetch_sub(1) != 1)
                continue;
            std::lock_guard lock(finishing);
            finished[size_t(j)] = 1;
            const int64_t before = finishedRows;
            while (finishedRows < ny && finished[size_t(finishedRows)])
                ++finishedRows;
            if (finishedRows != before)
                rowsDone(finishedRows == ny ? r.height() : r.height() - (ny - finishedRows) * ts);
        }
        s->busy = false;
    });
}

void Renderer::compute(const Node* n) {
    NodeState& st = state_[n];
    if (st.demand.isEmpty()) {
        st.cache = std::make_unique<Bitmap>();
        st.view = st.cache.get();
        return;
    }
    st.cache = std::make_unique<Bitmap>(st.demand);
    Bitmap& out = *st.cache;
    if (n->kind == NodeKind::General) {
        if (!n->tileable) {
            Scratch s = makeScratch();
            startTile(n, st.demand, s);
            runGeneral(n, st.demand, out, s);
        } else {
            forTiles(n, st.demand, st.tile,
                     [&](const IRect& tile, Scratch& s) { runGeneral(n, tile, out, s); });
        }
    } else {
        forTiles(n, st.demand, st.tile, [&](const IRect& tile, Scratch& s) {
            const int count = int(tile.width());
            for (int64_t y = tile.y0; y < tile.y1; ++y) {
                float* dst = out.pixel(tile.x0, y);
                const float* p = evalRow(n, y, tile.x0, count, dst, s);
                if (p != dst)
                    std::memcpy(dst, p, size_t(count) * 4 * sizeof(float));
            }
        });
    }
    // Sanitise nothing: extended range and even non-finite values pass through unchanged, as
    // between filters nothing is clamped.
    st.view = st.cache.get();
}

template <class Sink> void Renderer::run(const IRect& region, Sink&& sink, const RowsDone& rowsDone) {
    for (const Node* n : order_) {
        if (n == root_ || !state_[n].materialize)
            continue;
        if (cancelled())
            return;
        compute(n);
        release(n);
    }
    if (cancelled())
        return;
    if (state_[root_].materialize)
        compute(root_);
    auto rootTile = [&](const IRect& tile, Scratch& s) {
        const int count = int(tile.width());
        s.rootRow.resize(std::max(s.rootRow.size(), size_t(count) * 4));
        float* rowBuf = s.rootRow.data();
        for (int64_t y = tile.y0; y < tile.y1; ++y) {
            const float* p = evalRow(root_, y, tile.x0, count, rowBuf, s);
            sink(y, tile.x0, count, p);
        }
    };
    if (rowsDone)
        forTilesTopFirst(root_, region, state_[root_].tile, rootTile, rowsDone);
    else
        forTiles(root_, region, state_[root_].tile, rootTile);
}

const float* Renderer::evalRow(const Node* n, int64_t y, int64_t x0, int count, float* buf, Scratch& s) {
    // Evaluations nest (a spatial node evaluates its inputs over a tile in the middle of a row),
    // so this one works above whatever the stack already holds.
    RowStack& st = s.rows;
    const size_t base = st.frames.size();
    st.frames.push_back(RowFrame{n, y, x0, count});
    while (st.frames.size() > base) {
        const RowFrame f = st.frames.back();
        float* callerBuf = st.frames.size() == base + 1 ? buf : nullptr;
        if (f.expanded)
            finishRow(f, callerBuf, s);
        else
            expandRow(f, callerBuf, s);
    }
    const RowResult r = st.results.back();
    st.results.pop_back();
    st.release(r.buffer); // its pixels stay as they are until the pool hands it out again
    return r.pixels;
}

void Renderer::completeRow(const RowFrame& f, const float* pixels, int buffer, Scratch& s) {
    if (f.keep) {
        TileBlock& b = s.blocks[state_.find(f.node)->second.index];
        b.done[size_t(f.y - b.px.rect().y0)] = 1;
        pixels += (f.asked - f.x0) * 4;
    }
    s.rows.frames.pop_back();
    s.rows.results.push_back(RowResult{pixels, buffer});
}

// The buffer a frame writes its row into: its row of the tile block when kept, the caller's for
// the outermost frame, else one of the pool.
float* Renderer::rowOutput(const RowFrame& f, float* callerBuf, int& buffer, Scratch& s) {
    buffer = -1;
    if (f.keep)
        return s.blocks[state_.find(f.node)->second.index].px.row(f.y);
    if (callerBuf)
        return callerBuf;
    RowStack& st = s.rows;
    buffer = st.acquire(size_t(f.count) * 4);
    return st.buffers[size_t(buffer)].data();
}

void Renderer::expandRow(const RowFrame& asked, float* callerBuf, Scratch& s) {
    RowStack& st = s.rows;
    RowFrame f = asked;
    const Node* n = f.node;
    const NodeState& ns = state_.find(n)->second;
    auto finished = [&](const float* pixels, int buffer) { completeRow(f, pixels, buffer, s); };
    if (ns.shared) {
        // A colour kernel or compact source with several consumers: its row over all that the
        // tile needs of it, computed once.
        TileBlock& b = sharedBlock(n, s);
        const IRect& r = b.px.rect();
        if (f.y >= r.y0 && f.y < r.y1 && f.x0 >= r.x0 && f.x0 + f.count <= r.x1) {
            if (b.done[size_t(f.y - r.y0)])
                return finished(b.px.row(f.y) + (f.x0 - r.x0) * 4, -1);
            f.keep = true;
            f.asked = f.x0;
            f.x0 = r.x0;
            f.count = int(r.width());
            st.frames.back() = f;
        }
    }
    const int64_t x1 = f.x0 + f.count;
    int buffer = -1;

    if (ns.view) {
        const Bitmap& v = *ns.view;
        const IRect& r = v.rect();
        if (f.y >= r.y0 && f.y < r.y1 && f.x0 >= r.x0 && x1 <= r.x1)
            return finished(v.row(f.y) + (f.x0 - r.x0) * 4, -1);
        float* out = rowOutput(f, callerBuf, buffer, s);
        zero(out, f.count);
        if (f.y >= r.y0 && f.y < r.y1) {
            const int64_t a = std::max(f.x0, r.x0), b = std::min(x1, r.x1);
            if (b > a)
                std::memcpy(out + (a - f.x0) * 4, v.row(f.y) + (a - r.x0) * 4,
                            size_t(b - a) * 4 * sizeof(float));
        }
        return finished(out, buffer);
    }

    // The pixels of this row that lie inside the extent.
    const IRect cover = n->extent.coveredPixels();
    const int64_t a = std::max(f.x0, cover.x0), b = std::min(x1, cover.x1);
    const bool outside = f.y < cover.y0 || f.y >= cover.y1 || b <= a;
    const bool aligned = n->kind == NodeKind::Clamp && n->pixelAligned;
    const IRect clampFrom = aligned ? n->inputs[0].extent().coveredPixels() : IRect{};
    if (!outside &&
        (n->kind == NodeKind::Crop || n->kind == NodeKind::Color || (aligned && !clampFrom.isEmpty()))) {
        // Ask for the inputs; the frame is finished once their rows are there.
        RowFrame& self = st.frames.back();
        self = f;
        self.a = a;
        self.b = b;
        self.expanded = true;
        const int inner = int(b - a);
        if (aligned) {
            const int64_t yy = std::clamp(f.y, clampFrom.y0, clampFrom.y1 - 1);
            const int64_t lo = std::clamp(a, clampFrom.x0, clampFrom.x1 - 1);
            const int64_t hi = std::clamp(b - 1, clampFrom.x0, clampFrom.x1 - 1) + 1;
            st.frames.push_back(RowFrame{n->inputs[0].node().get(), yy, lo, int(hi - lo)});
        } else {
            // Pushed last first, so the rows come back in input order.
            for (size_t k = n->inputs.size(); k-- > 0;)
                st.frames.push_back(RowFrame{n->inputs[k].node().get(), f.y, a, inner});
        }
        return;
    }

    const bool spatial = n->kind == NodeKind::Transform || n->kind == NodeKind::Warp ||
                         n->kind == NodeKind::General || (n->kind == NodeKind::Clamp && !n->pixelAligned);
    const bool heldInput = spatial && n->kind != NodeKind::General &&
                           state_.find(n->inputs[0].node().get())->second.view != nullptr;
    if (!outside && spatial && !heldInput && !f.keep && a == f.x0 && b == x1) {
        // Handed out from the tile block as it stands.
        const Bitmap& block = spatialBlock(n, IRect{a, f.y, b, f.y + 1}, s);
        return finished(block.pixel(a, f.y), -1);
    }
    float* out = rowOutput(f, callerBuf, buffer, s);
    if (outside) {
        zero(out, f.count);
        return finished(out, buffer);
    }
    const int inner = int(b - a);
    float* part = out + (a - f.x0) * 4;
    zero(out, a - f.x0);
    zero(part + size_t(inner) * 4, x1 - b);
    if (heldInput) {
        sampleRow(n, *state_.find(n->inputs[0].node().get())->second.view, f.y, a, inner, part, s);
    } else if (spatial) {
        // This may evaluate further rows on the stack; `out` stays valid meanwhile.
        const Bitmap& block = spatialBlock(n, IRect{a, f.y, b, f.y + 1}, s);
        std::memcpy(part, block.pixel(a, f.y), size_t(inner) * 4 * sizeof(float));
    } else if (n->kind == NodeKind::Constant) {
        for (int i = 0; i < inner; ++i)
            std::memcpy(part + 4 * i, n->color.data(), 4 * sizeof(float));
    } else if (n->compact) {
        n->compact->readRow(f.y, a, inner, part);
    } else { // an aligned clamp of an empty input
        zero(part, inner);
    }
    completeRow(f, out, buffer, s);
}

void Renderer::finishRow(const RowFrame& f, float* callerBuf, Scratch& s) {
    RowStack& st = s.rows;
    const Node* n = f.node;
    const size_t inputs = n->kind == NodeKind::Color ? n->inputs.size() : 1;
    const size_t first = st.results.size() - inputs;
    int buffer = -1;
    float* out = rowOutput(f, callerBuf, buffer, s);
    const int inner = int(f.b - f.a);
    float* part = out + (f.a - f.x0) * 4;
    zero(out, f.a - f.x0);
    zero(part + size_t(inner) * 4, f.x0 + f.count - f.b);

    switch (n->kind) {
    case NodeKind::Crop:
        std::memcpy(part, st.results[first].pixels, size_t(inner) * 4 * sizeof(float));
        break;
    case NodeKind::Color: {
        const float* few[8];
        std::vector<const float*> many;
        const float** ins = few;
        if (inputs > 8) {
            many.resize(inputs);
            ins = many.data();
        }
        for (size_t i = 0; i < inputs; ++i)
            ins[i] = st.results[first + i].pixels;
        n->colorFn(ColorRow{ins, part, inner, f.a, f.y});
        break;
    }
    default: { // a whole-pixel clamp: repeat the ends of the input's row
        const IRect c = n->inputs[0].extent().coveredPixels();
        const int64_t lo = std::clamp(f.a, c.x0, c.x1 - 1), hi = std::clamp(f.b - 1, c.x0, c.x1 - 1) + 1;
        const float* p = st.results[first].pixels;
        for (int i = 0; i < inner; ++i) {
            const int64_t x = std::clamp(f.a + i, lo, hi - 1);
            std::memcpy(part + 4 * i, p + (x - lo) * 4, 4 * sizeof(float));
        }
        break;
    }
    }
    for (size_t i = first; i < st.results.size(); ++i)
        st.release(st.results[i].buffer);
    st.results.resize(first);
    completeRow(f, out, buffer, s);
}

Result<IRect> renderRegion(const Image& image, const Rect& rect) {
    if (image.isNull())
        return Result<IRect>::failure("there is no image to render");
    if (rect.isInfinite())
        return Result<IRect>::failure("cannot render an infinite rectangle; crop the image first");
    return rect.roundedOut().coveredPixels();
}

// The kernels are compiled for any x86-64 (SSE). On a thread whose upper vector-register halves
// are dirty, every switch between that code and the C library's AVX maths (expf, powf) stalls;
// threads inherit the state from the thread that created them, and the GUI library's start-up
// leaves it dirty. One vzeroupper as a thread enters a render clears it.
#if defined(__x86_64__) && defined(__GNUC__)
[[gnu::target("avx")]] void zeroUpperHalves() {
    _mm256_zeroupper();
}
void clearVectorState() {
    static const bool avx = __builtin_cpu_supports("avx");
    if (avx)
        zeroUpperHalves();
}
#else
void clearVectorState() {}
#endif

class CleanVectorStateOnEntry : public tbb::task_scheduler_observer {
  public:
    explicit CleanVectorStateOnEntry(tbb::task_arena& arena) : tbb::task_scheduler_observer(arena) {
        observe(true);
    }
    ~CleanVectorStateOnEntry() override { observe(false); }
    void on_scheduler_entry(bool) override { clearVectorState(); }
};

// A task arena whose threads start every render with a clean vector state.
struct Arena {
    tbb::task_arena arena;
    CleanVectorStateOnEntry observer{arena};
    explicit Arena(int threads) : arena(threads > 0 ? threads : tbb::task_arena::automatic) {}
};

tbb::task_arena& arenaFor(int threads) {
    static Arena defaultArena(0);
    if (threads <= 0)
        return defaultArena.arena;
    thread_local std::unordered_map<int, std::unique_ptr<Arena>> arenas;
    auto& a = arenas[threads];
    if (!a)
        a = std::make_unique<Arena>(threads);
    return a->arena;
}

// Runs a render in the arena, the calling thread included in the clean-up.
template <class F> void runInArena(int threads, F&& f) {
    arenaFor(threads).execute([&] {
        clearVectorState();
        f();
    });
}

// Plans and runs a render; every failure, running out of memory included, is an error value.
template <class Sink>
std::string renderInto(const Context::Options& options, const Image& image, const IRect& region,
                       int64_t outputBytes, const std::function<void()>& allocate, Sink&& sink,
                       const RowsDone& rowsDone = {}) {
    try {
        std::optional<Renderer> r(std::in_place, options);
        std::string err = r->plan(image.node().get(), region, outputBytes, true);
        if (!err.empty() && r->holdsSharedWork()) {
            // What it holds to save work does not fit: compute that work again instead.
            r.emplace(options);
            err = r->plan(image.node().get(), region, outputBytes, false);
        }
        if (!err.empty())
            return err;
        allocate();
        runInArena(options.threads, [&] { r->run(region, sink, rowsDone); });
        if (r->cancelled())
            return "cancelled";
        return {};
    } catch (const MemoryLimitExceeded& e) {
        return std::string("The image is too large: ") + e.what();
    } catch (const std::bad_alloc&) {
        return "There is not enough memory to render the image";
    } catch (const std::exception& e) {
        return std::string("The image could not be rendered: ") + e.what();
    }
}

} // namespace

Result<Bitmap> Context::render(const Image& image, const Rect& rect) const {
    auto region = renderRegion(image, rect);
    if (!region)
        return Result<Bitmap>::failure(region.error());
    if (region->isEmpty())
        return Bitmap();
    Bitmap out;
    const std::string err = renderInto(
        options_, image, *region, Bitmap::bytesFor(*region), [&] { out = Bitmap(*region); },
        [&](int64_t y, int64_t x0, int count, const float* p) {
            std::memcpy(out.pixel(x0, y), p, size_t(count) * 4 * sizeof(float));
        });
    if (!err.empty())
        return Result<Bitmap>::failure(err);
    return out;
}

std::string Context::renderRows(const Image& image, const Rect& rect, const RowSink& sink) const {
    auto region = renderRegion(image, rect);
    if (!region)
        return region.error();
    if (region->isEmpty())
        return {};
    return renderInto(
        options_, image, *region, 0, [] {}, sink);
}

Result<PixelBuffer> Context::renderSRGB(const Image& image, const Rect& rect, int bits) const {
    PixelBuffer out;
    if (std::string err = renderSRGB(image, rect, bits, out, {}); !err.empty())
        return Result<PixelBuffer>::failure(err);
    return out;
}

std::string Context::renderSRGB(const Image& image, const Rect& rect, int bits, PixelBuffer& out,
                                const RowsFinished& rowsFinished) const {
    auto region = renderRegion(image, rect);
    if (!region)
        return region.error();
    if (bits != 8 && bits != 16)
        return "only 8 or 16 bits per channel can be rendered";
    const IRect reg = *region;
    const int64_t bytes = saturatingMul(reg.area(), 4 * int64_t(bits / 8));
    if (std::string refused = memory::admit(bytes); !refused.empty())
        return "The image is too large: " + refused;
    if (reg.width() > INT32_MAX / 8 || reg.height() > INT32_MAX / 8)
        return "the image is too large to render";
    out = PixelBuffer();
    out.width = int(reg.width());
    out.height = int(reg.height());
    out.bitsPerChannel = bits;
    if (reg.isEmpty())
        return {};
    return renderInto(
        options_, image, reg, bytes,
        [&] {
            out.data.reserve(size_t(bytes));
            memory::preferHugePages(out.data.data(), size_t(bytes));
            out.data.assign(size_t(bytes), 0);
        },
        [&](int64_t y, int64_t x0, int count, const float* p) {
            const size_t row = size_t(reg.y1 - 1 - y); // top row first
            const size_t px = row * size_t(out.width) + size_t(x0 - reg.x0);
            if (bits == 8)
                encodeRowSRGB8(p, out.data.data() + px * 4, count);
            else
                encodeRowSRGB16(p, reinterpret_cast<uint16_t*>(out.data.data()) + px * 4, count);
        },
        rowsFinished ? RowsDone([&](int64_t rows) { rowsFinished(int(rows)); }) : RowsDone());
}

} // namespace ci
