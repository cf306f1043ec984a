#include "catalogue/EffectsLibrary.h"
#include "filters/Registry.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

#include "FakeLoadingTarget.h"

#include <set>

using namespace model;

TEST(EffectsLibrary, CategoriesEntriesThumbnailsAndOverlay) {
    filters::registerCustomFilters();
    auto target = std::make_shared<FakeLoadingTarget>();
    const catalogue::Library lib = catalogue::buildEffectsLibrary(target);
    QCoreApplication::processEvents();

    std::vector<std::string> names;
    std::vector<size_t> counts;
    std::set<std::string> withTooltip;
    std::vector<std::shared_ptr<model::Filter>> on231;
    for (const auto& c : lib) {
        names.push_back(c->name());
        counts.push_back(c->filters().size());
        for (const auto& f : c->filters()) {
            EXPECT_TRUE(f->params().empty());
            EXPECT_EQ(f->parent(), c->name() + " → " + f->name());
            if (!f->tooltip().empty())
                withTooltip.insert(f->name());
            if (f->sys() == "GWPhotoEffect231")
                on231.push_back(f);
            const platform::ImageRep* rep = f->sample().firstRepresentation();
            ASSERT_NE(rep, nullptr) << f->parent();
            EXPECT_NE(rep, defaultSampleImage().firstRepresentation())
                << f->parent() << " kept the raw image";
            // Looks that blur grow a little beyond the sample: a blur's extent grows by its reach.
            EXPECT_NEAR(rep->pixelsWide(), sharedSampleImage().firstRepresentation()->pixelsWide(), 8)
                << f->parent();
        }
    }
    EXPECT_EQ(names, (std::vector<std::string>{"Generic", "---", "Black & White", "Cinematic", "Landscape",
                                               "Lifestyle", "Portrait", "Vintage"}));
    EXPECT_EQ(counts, (std::vector<size_t>{15, 0, 12, 10, 12, 11, 11, 15}));
    EXPECT_EQ(withTooltip, (std::set<std::string>{"Air", "Chrome", "Crystal", "Fade", "Instant", "Mono",
                                                  "Noir", "Process", "Tonal", "Transfer", "Vivid"}));
    ASSERT_EQ(on231.size(), 2u);
    EXPECT_EQ(on231[0]->parent(), "Cinematic → Golden Evening");
    EXPECT_EQ(on231[1]->parent(), "Lifestyle → Melancholy");
    EXPECT_EQ(lib[7]->filters()[5]->name(), "Freedom");
    EXPECT_EQ(lib[7]->filters()[6]->name(), "Free Spirit");

    EXPECT_EQ(target->messages, std::vector<std::string>{"Loading photo effects..."});
    EXPECT_EQ(target->current, 86);
    ASSERT_EQ(target->subMessages.size(), 86u);
    EXPECT_EQ(target->subMessages.front(), "Generic → Air");
    EXPECT_EQ(target->subMessages.back(), "Vintage → Unique Moment");
    setLoadingProgressTarget(nullptr);
}
