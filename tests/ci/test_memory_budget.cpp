#include "support/TestSupport.h"

#include "ci/core/Context.h"
#include "ci/core/Filter.h"
#include "ci/core/Kernel.h"
#include "ci/core/Memory.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <limits>

using namespace ci;
using gwtest::BudgetOf;

namespace {

constexpr int64_t kMB = int64_t(1) << 20;

Image smallPhoto(int w = 40, int h = 30) {
    return Image::fromBitmap(gwtest::makeBitmap(w, h, [](int x, int y, float* p) {
        p[0] = float(x) / 40.f;
        p[1] = float(y) / 30.f;
        p[2] = 0.25f;
        p[3] = 1.f;
    }));
}

bool mentionsBudget(const std::string& error) {
    return error.find("needs ") != std::string::npos && error.find(" GB, limit ") != std::string::npos;
}

} // namespace

TEST(MemoryBudget, SizesSaturateInsteadOfOverflowing) {
    const IRect huge{-(int64_t(1) << 40), -(int64_t(1) << 40), int64_t(1) << 40, int64_t(1) << 40};
    EXPECT_EQ(huge.area(), std::numeric_limits<int64_t>::max());
    EXPECT_EQ((IRect{0, 0, 3000, 2000}).area(), 6'000'000);
    EXPECT_FALSE(checkedMul(int64_t(1) << 32, int64_t(1) << 32));
    EXPECT_EQ(*checkedMul(6, 7), 42);
    EXPECT_FALSE(checkedAdd(std::numeric_limits<int64_t>::max(), 1));
    EXPECT_FALSE(checkedMul(-1, 2));
    EXPECT_EQ(saturatingMul(int64_t(1) << 40, int64_t(1) << 40), std::numeric_limits<int64_t>::max());

    // A pixel block whose size does not fit is refused, and nothing stays counted.
    const int64_t before = memory::inUse();
    EXPECT_THROW(Bitmap{huge}, std::bad_alloc);
    EXPECT_THROW(Bitmap(IRect{0, 0, int64_t(1) << 31, int64_t(1) << 31}), MemoryLimitExceeded);
    EXPECT_EQ(memory::inUse(), before);
    {
        Bitmap held(IRect{0, 0, 100, 10});
        EXPECT_EQ(memory::inUse(), before + 100 * 10 * 16);
        Bitmap moved = std::move(held);
        EXPECT_EQ(memory::inUse(), before + 100 * 10 * 16);
    }
    EXPECT_EQ(memory::inUse(), before);
}

TEST(MemoryBudget, LimitComesFromTheMachineOrTheEnvironment) {
    const long pages = sysconf(_SC_PHYS_PAGES), pageSize = sysconf(_SC_PAGESIZE);
    const int64_t physical = int64_t(pages) * pageSize;
    ::unsetenv("GW_MEMORY_LIMIT_GB");
    EXPECT_GT(memory::defaultLimit(), 0);
    EXPECT_LE(memory::defaultLimit(), physical / 2);
    ::setenv("GW_MEMORY_LIMIT_GB", "1.5", 1);
    EXPECT_EQ(memory::defaultLimit(), int64_t(1.5 * 1024 * kMB));
    ::setenv("GW_MEMORY_LIMIT_GB", "lots", 1);
    EXPECT_LE(memory::defaultLimit(), physical / 2);
    ::unsetenv("GW_MEMORY_LIMIT_GB");

    BudgetOf budget(512 * kMB);
    EXPECT_EQ(memory::limit(), 512 * kMB);
    EXPECT_EQ(memory::admit(100 * kMB), "");
    EXPECT_EQ(memory::admit(2048 * kMB), "needs 2.0 GB, limit 0.50 GB");
    EXPECT_EQ(memory::formatGB(int64_t(168) << 30), "168 GB");
}

TEST(MemoryBudget, RendersOverTheBudgetFailBeforeAllocating) {
    // A huge scale factor made the pixel count overflow and the render write past a tiny buffer.
    const Image photo = smallPhoto();
    for (double scale : {1073741824.0, 1e12}) {
        SCOPED_TRACE(scale);
        const Image scaled = photo.applyingFilter("CILanczosScaleTransform", {{"inputScale", scale}});
        ASSERT_FALSE(scaled.isNull());
        const int64_t before = memory::inUse();
        {
            auto floats = Context().render(scaled);
            ASSERT_FALSE(floats.ok());
            EXPECT_TRUE(mentionsBudget(floats.error())) << floats.error();
            auto srgb = Context().renderSRGB(scaled, scaled.extent());
            EXPECT_TRUE(mentionsBudget(srgb.error())) << srgb.error();
            // A preview renders a part of it: that part is what counts.
            auto part = Context().render(scaled, Rect::make(0, 0, 64, 48));
            EXPECT_TRUE(part.ok()) << part.error();
        }
        EXPECT_EQ(memory::inUse(), before);
    }
    {
        // A scale that fits in 64 bits but not in the budget.
        BudgetOf budget(256 * kMB);
        const Image scaled = photo.applyingFilter("CILanczosScaleTransform", {{"inputScale", 200.0}});
        auto refused = Context().render(scaled);
        ASSERT_FALSE(refused.ok());
        EXPECT_TRUE(mentionsBudget(refused.error())) << refused.error();
    }

    // Held blocks count as well as the result: a kernel that must see its whole region at once is
    // held whole, and so is what it reads.
    BudgetOf budget(100 * kMB);
    const Image big = Image::constant(0.5f, 0.5f, 0.5f, 1).cropped(Rect::make(0, 0, 1500, 1500));
    EXPECT_TRUE(Context().render(big).ok()); // 36 MB of result
    const Image whole = GeneralKernel::apply(
        [](const KernelTile& t) {
            for (int64_t y = t.rect.y0; y < t.rect.y1; ++y)
                std::copy_n(t.inputs[0]->pixel(t.rect.x0, y), t.rect.width() * 4, t.out->pixel(t.rect.x0, y));
        },
        {big}, big.extent(), [](int, const Rect& r) { return r; }, false);
    const Image tinted = whole.applyingFilter("CIExposureAdjust", {{"inputEV", 0.5}});
    auto refused = Context().render(tinted);
    ASSERT_FALSE(refused.ok());
    EXPECT_TRUE(mentionsBudget(refused.error())) << refused.error();
    EXPECT_TRUE(Context().renderSRGB(tinted, tinted.extent()).ok()); // 9 MB of result, 72 held
}

TEST(Render, WorkflowsOfAnyLengthRenderWithoutRecursion) {
    // Colour steps, crops and whole-pixel clamps fuse into one pass; each level used to cost a
    // stack frame, and releasing the chain did too.
    const Image photo = smallPhoto(24, 12);
    Image chain = photo;
    const int steps = 100'000;
    for (int i = 0; i < steps; ++i) {
        if (i % 1000 == 500)
            chain = chain.clampedToExtent().cropped(Rect::make(0, 0, 24, 12));
        chain = ColorKernel::apply(
            [](const ColorRow& r) {
                for (int k = 0; k < r.count * 4; k += 4) {
                    r.out[k] = r.in[0][k] + 1e-5f;
                    r.out[k + 1] = r.in[0][k + 1];
                    r.out[k + 2] = r.in[0][k + 2];
                    r.out[k + 3] = r.in[0][k + 3];
                }
            },
            {chain});
    }
    // One step that reads neighbours over the fused chain, evaluated over its region of interest.
    chain = chain.transformed(Affine::translation(0.5, 0));
    auto out = Context().render(chain, Rect::make(0, 0, 24, 12));
    ASSERT_TRUE(out.ok()) << out.error();
    const float* p = out->pixel(10, 5);
    const auto source = Context().render(photo);
    ASSERT_TRUE(source.ok()) << source.error();
    const float* q = source->pixel(10, 5);
    EXPECT_NEAR(p[0], (q[0] + source->pixel(9, 5)[0]) / 2 + steps * 1e-5f, 2e-3f);
    EXPECT_FLOAT_EQ(p[3], 1.f);
    chain = Image(); // released without recursion too

    // Neighbourhood steps are computed tile by tile inside each other only so deep.
    Image spatial = photo;
    for (int i = 0; i < 20'000; ++i)
        spatial = GeneralKernel::apply(
            [](const KernelTile& t) {
                for (int64_t y = t.rect.y0; y < t.rect.y1; ++y)
                    std::copy_n(t.inputs[0]->pixel(t.rect.x0, y), t.rect.width() * 4,
                                t.out->pixel(t.rect.x0, y));
            },
            {spatial}, photo.extent(), [](int, const Rect& r) { return r; });
    auto copied = Context().render(spatial);
    ASSERT_TRUE(copied.ok()) << copied.error();
    EXPECT_EQ(gwtest::maxDifference(*copied, *Context().render(photo)), 0.0);
}
