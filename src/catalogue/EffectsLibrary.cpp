#include "EffectsLibrary.h"

#include "platform/Dispatch.h"

namespace catalogue {

namespace {

struct Entry {
    const char* name;
    const char* sys;
    const char* tooltip;
};

struct Category {
    const char* name;
    std::vector<Entry> entries;
};

// In display order; "---" is shown as a separator by the menu.
const std::vector<Category>& table() {
    static const std::vector<Category> t = {
        {"Generic",
         {
             {"Air", "CZAirFilter", "Higher-contrast with cold tints and slight sharpening."},
             {"Autumn", "GWPhotoEffect16", ""},
             {"Chrome", "CIPhotoEffectChrome", "Vintage photography with exaggerated color."},
             {"Coffee", "GWPhotoEffect205", ""},
             {"Crystal", "CZCrystalFilter", "Clear, sharpened colors with emphasized highlights."},
             {"Fade", "CIPhotoEffectFade", "Vintage photography film with diminished color."},
             {"Instant", "CIPhotoEffectInstant", "Vintage photography film with distorted colors."},
             {"Mono", "CIPhotoEffectMono", "Black-and-white photography film with low contrast."},
             {"Noir", "CIPhotoEffectNoir", "Black-and-white photography film with exaggerated contrast."},
             {"Process", "CIPhotoEffectProcess", "Vintage photography film with emphasized cool colors."},
             {"Quiet Time", "GWPhotoEffect257", ""},
             {"Rosy", "GWPhotoEffect199", ""},
             {"Tonal", "CIPhotoEffectTonal",
              "Black-and-white photography film without significantly altering contrast."},
             {"Transfer", "CIPhotoEffectTransfer", "Vintage photography film with emphasized warm colors."},
             {"Vivid", "CZVividFilter", "Vibrant colors with warm tints and high saturation."},
         }},
        {"---", {}},
        {"Black & White",
         {
             {"Bright Past", "GWPhotoEffect9", ""},
             {"Charcoal", "GWPhotoEffect62", ""},
             {"Classic", "GWPhotoEffect114", ""},
             {"Fade Away", "GWPhotoEffect41", ""},
             {"Fairy Tale", "GWPhotoEffect36", ""},
             {"Gray Skies", "GWPhotoEffect206", ""},
             {"Mystique", "GWPhotoEffect35", ""},
             {"Old Times", "GWPhotoEffect37", ""},
             {"Outlined", "GWPhotoEffect117", ""},
             {"Revival", "GWPhotoEffect44", ""},
             {"Thoughts", "GWPhotoEffect34", ""},
             {"Yesterday", "GWPhotoEffect99", ""},
         }},
        {"Cinematic",
         {
             {"Ashes", "GWPhotoEffect245", ""},
             {"Beautiful World", "GWPhotoEffect263", ""},
             {"Calm", "GWPhotoEffect49", ""},
             {"Cold Day", "GWPhotoEffect165", ""},
             {"Delicate", "GWPhotoEffect74", ""},
             {"Ginger", "GWPhotoEffect87", ""},
             {"Golden Evening", "GWPhotoEffect231", ""},
             {"Languid", "GWPhotoEffect65", ""},
             {"Special Moment", "GWPhotoEffect129", ""},
             {"Unforgettable", "GWPhotoEffect266", ""},
         }},
        {"Landscape",
         {
             {"Brand New", "GWPhotoEffect247", ""},
             {"Clear Mind", "GWPhotoEffect198", ""},
             {"Clear Morning", "GWPhotoEffect144", ""},
             {"Coziness", "GWPhotoEffect251", ""},
             {"Intense Life", "GWPhotoEffect184", ""},
             {"Nice Day", "GWPhotoEffect90", ""},
             {"Presence", "GWPhotoEffect249", ""},
             {"Relaxing Day", "GWPhotoEffect258", ""},
             {"Romance", "GWPhotoEffect161", ""},
             {"Serenity", "GWPhotoEffect67", ""},
             {"Soft Afternoon", "GWPhotoEffect255", ""},
             {"Sweet Feeling", "GWPhotoEffect135", ""},
         }},
        {"Lifestyle",
         {
             {"Autumn Vibes", "GWPhotoEffect210", ""},
             {"Coffee Time", "GWPhotoEffect223", ""},
             {"Happy Season", "GWPhotoEffect128", ""},
             {"Inner Peace", "GWPhotoEffect250", ""},
             {"Melancholy", "GWPhotoEffect231", ""},
             {"Metal Soul", "GWPhotoEffect151", ""},
             {"Perfect Day", "GWPhotoEffect179", ""},
             {"Silver Love", "GWPhotoEffect130", ""},
             {"Soft Wind", "GWPhotoEffect271", ""},
             {"Sweet Bite", "GWPhotoEffect191", ""},
             {"Urban Life", "GWPhotoEffect89", ""},
         }},
        {"Portrait",
         {
             {"Berries", "GWPhotoEffect145", ""},
             {"Blushing", "GWPhotoEffect190", ""},
             {"Bright Caress", "GWPhotoEffect262", ""},
             {"Fudge", "GWPhotoEffect31", ""},
             {"Modernity", "GWPhotoEffect225", ""},
             {"New Beginning", "GWPhotoEffect207", ""},
             {"Peaceful", "GWPhotoEffect221", ""},
             {"Siesta Time", "GWPhotoEffect243", ""},
             {"Silence", "GWPhotoEffect209", ""},
             {"Summer Smile", "GWPhotoEffect180", ""},
             {"Wheat", "GWPhotoEffect108", ""},
         }},
        {"Vintage",
         {
             {"Chill Out", "GWPhotoEffect153", ""},
             {"Difference", "GWPhotoEffect194", ""},
             {"Dream", "GWPhotoEffect181", ""},
             {"Early Winter", "GWPhotoEffect80", ""},
             {"Eternity", "GWPhotoEffect136", ""},
             {"Freedom", "GWPhotoEffect196", ""},
             {"Free Spirit", "GWPhotoEffect277", ""},
             {"Memories", "GWPhotoEffect156", ""},
             {"Moonlight", "GWPhotoEffect57", ""},
             {"Relaxed", "GWPhotoEffect152", ""},
             {"Remembering", "GWPhotoEffect252", ""},
             {"Secret", "GWPhotoEffect53", ""},
             {"Sunbeam", "GWPhotoEffect119", ""},
             {"Sweet Dreams", "GWPhotoEffect204", ""},
             {"Unique Moment", "GWPhotoEffect131", ""},
         }},
    };
    return t;
}

} // namespace

void showLoadingEffectsMessage(const std::shared_ptr<model::LoadingProgressTarget>& delegate) {
    model::setLoadingProgressTarget(delegate);
    if (delegate)
        delegate->setProgressOverlayMessage("Loading photo effects...");
}

Library buildEffectsLibrary(std::shared_ptr<model::LoadingProgressTarget> delegate) {
    platform::MainQueue::async([delegate] { showLoadingEffectsMessage(delegate); });
    Library library;
    for (const Category& c : table()) {
        model::Filters entries;
        for (const Entry& e : c.entries)
            entries.push_back(model::Filter::make(e.name, e.sys, e.tooltip));
        library.push_back(model::FilterCategory::make(c.name, std::move(entries)));
    }
    return library;
}

} // namespace catalogue
