#include "Context.h"

#include "Node.h"

#include <tbb/blocked_range2d.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>
#include <tbb/task_scheduler_observer.h>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
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
        out[3] = uint8_t(std::lround(std::min(a, 1.f) * 255.f));
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

// A single pixel block held by the renderer beyond this is refused rather than attempted.
constexpr int64_t kMaxBlockPixels = int64_t(1) << 28;

inline void zero(float* p, int64_t pixels) {
    if (pixels > 0)
        std::memset(p, 0, size_t(pixels) * 4 * sizeof(float));
}

struct NodeState {
    IRect demand;
    bool materialize = false;
    std::unique_ptr<Bitmap> cache;
    const Bitmap* view = nullptr;    // the node's pixels once held (source bitmap or cache)
    int readers = 0;                 // units that still read the view
    std::vector<const Node*> leaves; // held nodes this unit reads while computing
    bool shared = false;             // a colour kernel evaluated in place by several consumers
    int64_t tile = 0;                // tile side when computed as a unit (held, or the root)
};

// Rows of a shared colour kernel computed for the current tile, each as the span it was asked for.
struct SharedRows {
    struct Span {
        int64_t x0;
        int count;
        std::unique_ptr<float[]> px;
    };
    uint64_t tile = 0;
    std::unordered_map<int64_t, std::vector<Span>> rows;
};

// Row buffers for one worker, one per recursion depth.
struct Scratch {
    IRect tile;          // the tile being computed
    uint64_t serial = 0; // counts the tiles this worker has started
    std::unordered_map<const Node*, SharedRows> shared;
    // General kernels computed tile by tile for the unit that reads them in place.
    std::unordered_map<const Node*, Bitmap> streamed;
    std::vector<float> rootRow;
    std::vector<std::vector<float>> buffers;
    std::vector<std::vector<double>> coords;
    float* get(size_t depth, size_t floats) {
        if (buffers.size() <= depth)
            buffers.resize(depth + 1);
        if (buffers[depth].size() < floats)
            buffers[depth].resize(floats);
        return buffers[depth].data();
    }
    double* coord(size_t which, size_t n) {
        if (coords.size() <= which)
            coords.resize(which + 1);
        if (coords[which].size() < n)
            coords[which].resize(n);
        return coords[which].data();
    }
};

class Renderer {
  public:
    Renderer(const Context::Options& o) : opts_(o) {}

    std::string plan(const Node* root, const IRect& region);
    // Computes every held node, then hands the root's pixels to sink tile by tile; stops early
    // once the options' cancel flag is set.
    template <class Sink> void run(const IRect& region, Sink&& sink);
    bool cancelled() const { return opts_.cancel && opts_.cancel->load(std::memory_order_relaxed); }

  private:
    void order(const Node* n, std::unordered_set<const Node*>& seen);
    void collectLeaves(const Node* unit);
    void compute(const Node* n);
    void release(const Node* unit);
    // Follows a tile `r` of the unit n down its inputs, through everything computed along with
    // it, and holds an input whole where computing it per tile would waste too much work or need
    // too large a region. With `dry` nothing is held; the result says whether every region fit.
    bool descend(const Node* n, const Rect& r, double waste, std::vector<const Node*>& units, int& visits,
                 bool dry);
    // The tile side for a unit: the render's, or smaller where a reduction below it would make a
    // tile's regions too large.
    int64_t unitTile(const Node* n);
    // Runs a general kernel over one tile. Inputs that are held are read in place; cheap ones are
    // evaluated over the tile's region of interest only, so they never need a whole copy.
    void runGeneral(const Node* n, const IRect& tile, Bitmap& out, Scratch& s, size_t depth);
    // The inputs of a node that reads neighbours, for output rectangle r: held ones in place,
    // the others evaluated over their region of interest into `local`.
    std::vector<const Bitmap*> tileInputs(const Node* n, const IRect& r, std::vector<Bitmap>& local,
                                          Scratch& s, size_t depth);
    // A row of a node that reads neighbours: from held inputs directly, otherwise computed for
    // the current tile (or, for rows a clamp reads beyond it, for that row) and kept while the
    // tile's rows ask for it.
    void spatialRow(const Node* n, int64_t y, int64_t x0, int count, float* out, size_t depth, Scratch& s);
    // Samples a row of a transform, clamp or warp from its input's pixels.
    void sampleRow(const Node* n, const Bitmap& src, int64_t y, int64_t x0, int count, float* out,
                   size_t depth, Scratch& s);
    // A row of any node: a view into held pixels, a row kept for a shared node, or computed.
    const float* evalRow(const Node* n, int64_t y, int64_t x0, int count, float* buf, size_t depth,
                         Scratch& s);
    const float* computeRow(const Node* n, int64_t y, int64_t x0, int count, float* buf, size_t depth,
                            Scratch& s);
    template <class F> void forTiles(const IRect& r, int64_t ts, F&& f);

    const Context::Options& opts_;
    const Node* root_ = nullptr;
    std::vector<const Node*> order_; // inputs before consumers
    std::unordered_map<const Node*, NodeState> state_;
};

std::vector<const Bitmap*> Renderer::tileInputs(const Node* n, const IRect& r, std::vector<Bitmap>& local,
                                                Scratch& s, size_t depth) {
    std::vector<const Bitmap*> inputs;
    local.clear();
    local.reserve(n->inputs.size());
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
        local.emplace_back(need);
        Bitmap& bm = local.back();
        const IRect outer = s.tile;
        s.tile = need; // general kernels inside compute this region once
        for (int64_t y = need.y0; y < need.y1; ++y) {
            float* dst = bm.row(y);
            const float* p = evalRow(in, y, need.x0, int(need.width()), dst, depth + 1, s);
            if (p != dst)
                std::memcpy(dst, p, size_t(need.width()) * 4 * sizeof(float));
        }
        s.tile = outer;
        inputs.push_back(&bm);
    }
    return inputs;
}

// A tile's margins are computed again by each neighbouring tile. A region beyond what the step's
// own scale calls for (a reduction by 8 reads 64 times its area and wastes nothing) is waste, and
// waste multiplies down a chain of such steps; past this the input is held whole instead.
constexpr double kMaxWaste = 1.6;
// No tile evaluates more than this many pixels of one input at once (16 bytes each).
constexpr double kMaxTileRegion = double(1 << 20);

IRect probeTile(const IRect& d, int64_t ts) {
    const int64_t cx = (d.x0 + d.x1) / 2, cy = (d.y0 + d.y1) / 2;
    return IRect{cx - ts / 2, cy - ts / 2, cx + ts / 2, cy + ts / 2}.intersected(d);
}

bool Renderer::descend(const Node* n, const Rect& r, double waste, std::vector<const Node*>& units,
                       int& visits, bool dry) {
    bool fits = true;
    for (size_t k = 0; k < n->inputs.size(); ++k) {
        const Node* in = n->inputs[k].node().get();
        NodeState& is = state_[in];
        if (in->kind == NodeKind::Source || in->kind == NodeKind::Constant || is.materialize)
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
        const bool tooLarge = infinite || area > kMaxTileRegion;
        if (tooLarge || w > kMaxWaste || --visits < 0 || (in->kind == NodeKind::General && !in->tileable)) {
            fits = fits && !tooLarge;
            if (!dry) {
                is.materialize = true;
                units.push_back(in);
            }
            continue;
        }
        fits = descend(in, need, w, units, visits, dry) && fits;
    }
    return fits;
}

int64_t Renderer::unitTile(const Node* n) {
    const IRect d = state_[n].demand;
    int64_t ts = std::max(8, opts_.tileSize);
    std::vector<const Node*> none;
    for (; ts > 16; ts /= 2) {
        int visits = 4000;
        if (descend(n, Rect::fromIRect(probeTile(d, ts)), 1.0, none, visits, true))
            break;
    }
    return ts;
}

void Renderer::runGeneral(const Node* n, const IRect& tile, Bitmap& out, Scratch& s, size_t depth) {
    std::vector<Bitmap> local;
    n->generalFn(KernelTile{tile, &out, tileInputs(n, tile, local, s, depth)});
}

void Renderer::spatialRow(const Node* n, int64_t y, int64_t x0, int count, float* out, size_t depth,
                          Scratch& s) {
    if (n->kind != NodeKind::General) {
        if (const Bitmap* src = state_.find(n->inputs[0].node().get())->second.view) {
            sampleRow(n, *src, y, x0, count, out, depth, s);
            return;
        }
    }
    const NodeState& st = state_.find(n)->second;
    Bitmap& slot = s.streamed[n];
    const IRect want{x0, y, x0 + count, y + 1};
    if (!slot.rect().contains(want)) {
        IRect r = s.tile.intersected(st.demand);
        if (!r.contains(want))
            r = IRect{s.tile.x0, y, s.tile.x1, y + 1}.intersected(st.demand).united(want);
        slot = Bitmap(r);
        if (n->kind == NodeKind::General) {
            runGeneral(n, r, slot, s, depth);
        } else {
            std::vector<Bitmap> local;
            const auto inputs = tileInputs(n, r, local, s, depth);
            for (int64_t yy = r.y0; yy < r.y1; ++yy)
                sampleRow(n, *inputs[0], yy, r.x0, int(r.width()), slot.row(yy), depth, s);
        }
    }
    std::memcpy(out, slot.pixel(x0, y), size_t(count) * 4 * sizeof(float));
}

void Renderer::sampleRow(const Node* n, const Bitmap& src, int64_t y, int64_t a, int inner, float* out,
                         size_t depth, Scratch& s) {
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
        double* sx = s.coord(2 * depth, size_t(inner));
        double* sy = s.coord(2 * depth + 1, size_t(inner));
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

std::string Renderer::plan(const Node* root, const IRect& region) {
    root_ = root;
    std::unordered_set<const Node*> seen;
    order(root, seen);
    for (const Node* n : order_)
        state_[n];
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
            NodeState& is = state_[in];
            const Rect need = n->roi(int(k), Rect::fromIRect(st.demand));
            const IRect px = need.roundedOutPixels().intersected(in->extent.coveredPixels());
            is.demand = is.demand.united(px);
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
    }
    for (const Node* n : order_) {
        NodeState& st = state_[n];
        if (st.materialize && st.demand.area() > kMaxBlockPixels)
            return "the image is too large to render (" + std::to_string(st.demand.width()) + " x " +
                   std::to_string(st.demand.height()) + " pixels needed at one step)";
    }
    for (const Node* n : order_)
        if (state_[n].materialize || n == root)
            collectLeaves(n);
    std::unordered_map<const Node*, int> consumers;
    for (const Node* n : order_)
        for (const Image& in : n->inputs)
            ++consumers[in.node().get()];
    for (const Node* n : order_) {
        NodeState& st = state_[n];
        st.shared = n->kind == NodeKind::Color && !st.materialize && consumers[n] > 1;
    }
    return {};
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

void Renderer::release(const Node* unit) {
    for (const Node* leaf : state_[unit].leaves) {
        NodeState& ls = state_[leaf];
        if (--ls.readers == 0 && ls.cache) {
            ls.cache.reset();
            ls.view = nullptr;
        }
    }
}

template <class F> void Renderer::forTiles(const IRect& r, int64_t ts, F&& f) {
    const int64_t nx = (r.width() + ts - 1) / ts, ny = (r.height() + ts - 1) / ts;
    tbb::parallel_for(tbb::blocked_range<int64_t>(0, nx * ny), [&](const tbb::blocked_range<int64_t>& range) {
        Scratch scratch;
        for (int64_t t = range.begin(); t != range.end(); ++t) {
            if (cancelled())
                return;
            const int64_t tx = t % nx, ty = t / nx;
            IRect tile{r.x0 + tx * ts, r.y0 + ty * ts, std::min(r.x1, r.x0 + (tx + 1) * ts),
                       std::min(r.y1, r.y0 + (ty + 1) * ts)};
            scratch.tile = tile;
            ++scratch.serial;
            f(tile, scratch);
        }
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
            Scratch s;
            s.tile = st.demand;
            runGeneral(n, st.demand, out, s, 0);
        } else {
            forTiles(st.demand, st.tile,
                     [&](const IRect& tile, Scratch& s) { runGeneral(n, tile, out, s, 0); });
        }
    } else {
        forTiles(st.demand, st.tile, [&](const IRect& tile, Scratch& s) {
            const int count = int(tile.width());
            for (int64_t y = tile.y0; y < tile.y1; ++y) {
                float* dst = out.pixel(tile.x0, y);
                const float* p = evalRow(n, y, tile.x0, count, dst, 0, s);
                if (p != dst)
                    std::memcpy(dst, p, size_t(count) * 4 * sizeof(float));
            }
        });
    }
    // Sanitise nothing: extended range and even non-finite values pass through unchanged, as
    // between filters nothing is clamped.
    st.view = st.cache.get();
}

template <class Sink> void Renderer::run(const IRect& region, Sink&& sink) {
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
    forTiles(region, state_[root_].tile, [&](const IRect& tile, Scratch& s) {
        const int count = int(tile.width());
        s.rootRow.resize(std::max(s.rootRow.size(), size_t(count) * 4));
        float* rowBuf = s.rootRow.data();
        for (int64_t y = tile.y0; y < tile.y1; ++y) {
            const float* p = evalRow(root_, y, tile.x0, count, rowBuf, 0, s);
            sink(y, tile.x0, count, p);
        }
    });
}

const float* Renderer::evalRow(const Node* n, int64_t y, int64_t x0, int count, float* buf, size_t depth,
                               Scratch& s) {
    const NodeState& st = state_.find(n)->second;
    if (!st.shared)
        return computeRow(n, y, x0, count, buf, depth, s);
    // A colour chain that feeds several consumers (an unsharp mask reads the picture and its
    // blur, for one) would otherwise be computed again for each of them. Spans stay until the
    // tile ends, so pointers handed out stay valid while the tile's consumers use them.
    SharedRows& kept = s.shared[n];
    if (kept.tile != s.serial) {
        kept.rows.clear();
        kept.tile = s.serial;
    }
    std::vector<SharedRows::Span>& spans = kept.rows[y];
    for (const SharedRows::Span& span : spans)
        if (span.x0 <= x0 && x0 + count <= span.x0 + span.count)
            return span.px.get() + (x0 - span.x0) * 4;
    const float* p = computeRow(n, y, x0, count, buf, depth, s);
    SharedRows::Span span{x0, count, std::make_unique<float[]>(size_t(count) * 4)};
    std::memcpy(span.px.get(), p, size_t(count) * 4 * sizeof(float));
    spans.push_back(std::move(span));
    return p;
}

const float* Renderer::computeRow(const Node* n, int64_t y, int64_t x0, int count, float* buf, size_t depth,
                                  Scratch& s) {
    const NodeState& st = state_.find(n)->second;
    const int64_t x1 = x0 + count;

    if (st.view) {
        const Bitmap& v = *st.view;
        const IRect& r = v.rect();
        if (y >= r.y0 && y < r.y1 && x0 >= r.x0 && x1 <= r.x1)
            return v.row(y) + (x0 - r.x0) * 4;
        zero(buf, count);
        if (y >= r.y0 && y < r.y1) {
            const int64_t a = std::max(x0, r.x0), b = std::min(x1, r.x1);
            if (b > a)
                std::memcpy(buf + (a - x0) * 4, v.row(y) + (a - r.x0) * 4, size_t(b - a) * 4 * sizeof(float));
        }
        return buf;
    }

    // The pixels of this row that lie inside the extent.
    const IRect cover = n->extent.coveredPixels();
    const int64_t a = std::max(x0, cover.x0), b = std::min(x1, cover.x1);
    if (y < cover.y0 || y >= cover.y1 || b <= a) {
        zero(buf, count);
        return buf;
    }
    const int inner = int(b - a);
    float* out = buf + (a - x0) * 4;
    zero(buf, a - x0);
    zero(out + size_t(inner) * 4, x1 - b);

    switch (n->kind) {
    case NodeKind::Source:
        zero(out, inner); // a source always has a view; this is never reached
        break;
    case NodeKind::Constant:
        for (int i = 0; i < inner; ++i)
            std::memcpy(out + 4 * i, n->color.data(), 4 * sizeof(float));
        break;
    case NodeKind::Crop: {
        const float* p = evalRow(n->inputs[0].node().get(), y, a, inner, out, depth + 1, s);
        if (p != out)
            std::memcpy(out, p, size_t(inner) * 4 * sizeof(float));
        break;
    }
    case NodeKind::Color: {
        const size_t k = n->inputs.size();
        const float* ins[8];
        std::vector<const float*> many;
        const float** inPtr = ins;
        if (k > 8) {
            many.resize(k);
            inPtr = many.data();
        }
        size_t d = depth + 1;
        for (size_t i = 0; i < k; ++i) {
            float* scratch = s.get(d, size_t(inner) * 4);
            inPtr[i] = evalRow(n->inputs[i].node().get(), y, a, inner, scratch, d + 1, s);
            // The next input's buffer sits above every level this one's evaluation used for
            // its own result, so the row just computed stays intact.
            d += 2;
        }
        n->colorFn(ColorRow{inPtr, out, inner, a, y});
        break;
    }
    case NodeKind::Clamp: {
        if (!n->pixelAligned) {
            spatialRow(n, y, a, inner, out, depth, s);
            break;
        }
        // Whole pixels: read the input's row at the clamped place and repeat its ends.
        const IRect c = n->inputs[0].extent().coveredPixels();
        if (c.isEmpty()) {
            zero(out, inner);
            break;
        }
        const int64_t yy = std::clamp(y, c.y0, c.y1 - 1);
        const int64_t lo = std::clamp(a, c.x0, c.x1 - 1), hi = std::clamp(b - 1, c.x0, c.x1 - 1) + 1;
        float* row = s.get(depth + 1, size_t(hi - lo) * 4);
        const float* p = evalRow(n->inputs[0].node().get(), yy, lo, int(hi - lo), row, depth + 2, s);
        for (int i = 0; i < inner; ++i) {
            const int64_t x = std::clamp(a + i, lo, hi - 1);
            std::memcpy(out + 4 * i, p + (x - lo) * 4, 4 * sizeof(float));
        }
        break;
    }
    case NodeKind::Transform:
    case NodeKind::Warp:
    case NodeKind::General:
        spatialRow(n, y, a, inner, out, depth, s);
        break;
    }
    return buf;
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

} // namespace

Result<Bitmap> Context::render(const Image& image, const Rect& rect) const {
    auto region = renderRegion(image, rect);
    if (!region)
        return Result<Bitmap>::failure(region.error());
    Bitmap out(*region);
    if (region->isEmpty())
        return out;
    Renderer r(options_);
    std::string err = r.plan(image.node().get(), *region);
    if (!err.empty())
        return Result<Bitmap>::failure(err);
    runInArena(options_.threads, [&] {
        r.run(*region, [&](int64_t y, int64_t x0, int count, const float* p) {
            std::memcpy(out.pixel(x0, y), p, size_t(count) * 4 * sizeof(float));
        });
    });
    if (r.cancelled())
        return Result<Bitmap>::failure("cancelled");
    return out;
}

Result<PixelBuffer> Context::renderSRGB(const Image& image, const Rect& rect, int bits) const {
    auto region = renderRegion(image, rect);
    if (!region)
        return Result<PixelBuffer>::failure(region.error());
    if (bits != 8 && bits != 16)
        return Result<PixelBuffer>::failure("only 8 or 16 bits per channel can be rendered");
    if (region->width() > INT32_MAX / 8 || region->height() > INT32_MAX / 8)
        return Result<PixelBuffer>::failure("the image is too large to render");
    PixelBuffer out;
    out.width = int(region->width());
    out.height = int(region->height());
    out.bitsPerChannel = bits;
    out.data.assign(size_t(out.width) * size_t(out.height) * 4 * size_t(bits / 8), 0);
    if (region->isEmpty())
        return out;
    Renderer r(options_);
    std::string err = r.plan(image.node().get(), *region);
    if (!err.empty())
        return Result<PixelBuffer>::failure(err);
    const IRect reg = *region;
    runInArena(options_.threads, [&] {
        r.run(reg, [&](int64_t y, int64_t x0, int count, const float* p) {
            const size_t row = size_t(reg.y1 - 1 - y); // top row first
            const size_t px = row * size_t(out.width) + size_t(x0 - reg.x0);
            if (bits == 8)
                encodeRowSRGB8(p, out.data.data() + px * 4, count);
            else
                encodeRowSRGB16(p, reinterpret_cast<uint16_t*>(out.data.data()) + px * 4, count);
        });
    });
    if (r.cancelled())
        return Result<PixelBuffer>::failure("cancelled");
    return out;
}

} // namespace ci
