#include "UiTestSupport.h"

#include "ui/ParamEditors.h"
#include "ui/WorkflowPanel.h"

#include "platform/NotificationCenter.h"

#include <gtest/gtest.h>

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>
#include <QToolButton>

using uitest::WindowHarness;

namespace {

std::shared_ptr<model::FilterParam> param(const char* name, std::shared_ptr<model::FilterParamValue> value) {
    return model::FilterParam::make(name, std::string("input") + name, std::string("About ") + name, value,
                                    value);
}

template <typename T> T* only(QWidget* host, const char* editorName) {
    auto* editor = host->findChild<QWidget*>(editorName);
    if (!editor)
        return nullptr;
    auto list = editor->findChildren<T*>();
    if (auto* self = qobject_cast<T*>(editor))
        return self;
    return list.isEmpty() ? nullptr : list.front();
}

} // namespace

TEST(Editors, EveryKindShowsTheModelAndWritesEditsIntoIt) {
    WindowHarness h;
    auto& w = *h.window;
    auto& d = h.d();
    using V = model::FilterParamValue;
    auto numeric = V::numeric(0.5, 0.0, 2.0);
    auto single = V::number(7);
    auto relative = V::relativeNumeric(model::NumericValue::make(10, 1));
    auto color = V::color(model::ColorValue::make(10, 20, 30, 40));
    auto point = V::point(model::PointValue::make(3, 4, model::GravityValue::make(4)), false);
    auto flag = V::boolean(model::BooleanValue::make(false, "Sharpen edges"));
    auto text = V::string("Hello");
    auto font = V::font(model::FontValue::make("Nowhere Sans"));
    auto step = model::Filter::make("Everything", "CIColorInvert", "Does it all",
                                    {param("Amount", numeric), param("Count", single),
                                     param("Radius", relative), param("Tint", color), param("Where", point),
                                     param("Flag", flag), param("Text", text), param("Font", font),
                                     param("Nothing", std::make_shared<V>())});
    step->setIsCurrent(true);
    d.setCurrentFilters({step});
    w.workflow()->select(0);
    QWidget* host = w.params()->editorsHost();
    EXPECT_EQ(w.params()->step(), step);
    EXPECT_EQ(host->findChildren<QWidget*>("paramEditor", Qt::FindDirectChildrenOnly).size(), 8);

    int posts = 0;
    auto token = platform::NotificationCenter::defaultCenter().addObserver(
        platform::RequiresPreviewRegeneration, [&](const std::string&) { ++posts; });

    // Number with a range: slider and field both ways.
    auto* slider = only<QSlider>(host, "editor0");
    ASSERT_NE(slider, nullptr);
    EXPECT_EQ(slider->value(), 250);
    slider->setValue(500);
    EXPECT_DOUBLE_EQ(numeric->numericV(), 1.0);
    EXPECT_GT(posts, 0);
    numeric->setNumericV(2.0);
    EXPECT_EQ(slider->value(), 1000);
    auto* field = host->findChild<QWidget*>("editor0")->findChildren<QDoubleSpinBox*>().front();
    EXPECT_DOUBLE_EQ(field->value(), 2.0);

    auto* count = only<QDoubleSpinBox>(host, "editor1");
    ASSERT_NE(count, nullptr);
    EXPECT_DOUBLE_EQ(count->value(), 7);
    count->setValue(9);
    EXPECT_DOUBLE_EQ(single->numericV(), 9);

    // Relative number: the value and its measure.
    auto* measure = only<QComboBox>(host, "editor2");
    ASSERT_NE(measure, nullptr);
    EXPECT_EQ(measure->currentIndex(), 1);
    Q_EMIT measure->activated(3);
    EXPECT_EQ(relative->relativeNumericV()->measure(), 3);
    relative->relativeNumericV()->setN(12.5);
    EXPECT_DOUBLE_EQ(only<QDoubleSpinBox>(host, "editor2")->value(), 12.5);

    // Colour: components shown; a change of the model shows.
    auto* colorText = host->findChild<QWidget*>("editor3")->findChildren<QLabel*>().front();
    EXPECT_EQ(colorText->text(), "R 10  G 20  B 30  A 40");
    color->colorV()->setRed(200);
    EXPECT_EQ(colorText->text(), "R 200  G 20  B 30  A 40");

    // Point: gravity buttons select the anchor; offsets edit the point's numbers.
    auto gravity = host->findChild<QWidget*>("editor5")->findChildren<QToolButton*>();
    ASSERT_EQ(gravity.size(), 9);
    EXPECT_TRUE(gravity[4]->isChecked());
    gravity[8]->click();
    EXPECT_EQ(point->pointV()->gravity()->g(), 8);
    auto offsets = host->findChild<QWidget*>("editor5")->findChildren<QDoubleSpinBox*>();
    ASSERT_EQ(offsets.size(), 2);
    offsets[1]->setValue(-6);
    EXPECT_DOUBLE_EQ(point->pointV()->y()->n(), -6);

    // Boolean with its title; text; font (a family that is not installed is still shown).
    auto* box = only<QCheckBox>(host, "editor6");
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->text(), "Sharpen edges");
    box->click();
    EXPECT_TRUE(flag->booleanV()->b());
    auto* line = only<QLineEdit>(host, "editor7");
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(line->text(), "Hello");
    line->setText("Bye");
    Q_EMIT line->textEdited("Bye");
    EXPECT_EQ(text->stringV(), "Bye");
    text->setStringV("From model");
    EXPECT_EQ(line->text(), "From model");
    auto* fonts = only<QComboBox>(host, "editor8");
    ASSERT_NE(fonts, nullptr);
    EXPECT_EQ(fonts->currentText(), "Nowhere Sans");
    ASSERT_GT(fonts->count(), 1);
    Q_EMIT fonts->textActivated(fonts->itemText(1));
    EXPECT_EQ(font->fontV()->qName(), fonts->itemText(1));

    platform::NotificationCenter::defaultCenter().removeObserver(token);
    h.settle(2);
}

TEST(Editors, ImageParameterChoosesThroughTheOpenPanel) {
    WindowHarness h;
    auto& d = h.d();
    auto image = model::FilterParamValue::image(
        model::ImageValue::make(QUrl::fromLocalFile(apptest::Harness::data("coffee.png"))));
    auto step = model::Filter::make("Blend", "CIColorInvert", "", {param("Background", image)});
    d.setCurrentFilters({step});
    d.setCurrentFiltersSelection(0);
    QWidget* host = h.window->params()->editorsHost();
    auto* choose = host->findChild<QPushButton*>("chooseImage");
    ASSERT_NE(choose, nullptr);
    h.dialogs->openAnswers.push_back(QStringList{apptest::Harness::data("rocket.jpg")});
    choose->click();
    ASSERT_EQ(h.dialogs->openPanels.size(), 1u);
    EXPECT_FALSE(h.dialogs->openPanels[0].canChooseDirectories);
    EXPECT_EQ(image->imageV()->s(), apptest::Harness::data("rocket.jpg"));
    // The thumbnail is loaded on a worker.
    h.settle();
    auto labels = host->findChildren<QLabel*>();
    bool thumbnail = false, name = false;
    for (auto* l : labels) {
        thumbnail = thumbnail || !l->pixmap().isNull();
        name = name || l->text() == "rocket.jpg";
    }
    EXPECT_TRUE(thumbnail);
    EXPECT_TRUE(name);
    h.settle(2);
}

TEST(Workflow, RowButtonsToggleInformAndRemoveThroughTheController) {
    WindowHarness h;
    auto& w = *h.window;
    auto& d = h.d();
    auto a = model::Filter::make("Alpha", "CIColorInvert", "Inverts the colours");
    auto b = model::Filter::make("Beta", "CIColorInvert", "");
    d.setCurrentFilters({a, b});
    auto* panel = w.workflow();
    ASSERT_EQ(panel->rows().size(), 2u);
    auto* row = panel->rows()[0];
    EXPECT_EQ(row->height(), 33);
    EXPECT_EQ(row->enableSwitch()->toolTip(), "Click to enable/disable this filter");
    EXPECT_TRUE(row->enableSwitch()->isChecked());

    row->enableSwitch()->click();
    EXPECT_FALSE(a->isEnabled());
    EXPECT_FALSE(row->enableSwitch()->isChecked());
    panel->enableAllButton()->click();
    EXPECT_TRUE(a->isEnabled());
    panel->disableAllButton()->click();
    EXPECT_FALSE(a->isEnabled() || b->isEnabled());

    row->infoButton()->click();
    EXPECT_TRUE(panel->popover()->isVisible());
    EXPECT_EQ(panel->popoverLabel()->text(), "Inverts the colours");
    panel->popover()->hide();

    // Remove asks first; "Cancel" with the box ticked keeps the step and stores the choice.
    h.dialogs->alertAnswers.push_back({1, true, {}});
    row->removeButton()->click();
    ASSERT_EQ(h.dialogs->alerts.size(), 1u);
    EXPECT_EQ(h.dialogs->alerts[0].message, "Are you sure you want to proceed?");
    EXPECT_EQ(h.dialogs->alerts[0].suppressionTitle, "Don't show this message again");
    EXPECT_EQ(d.CurrentFilters().size(), 2u);
    // From then on it removes at once.
    panel->rows()[0]->removeButton()->click();
    EXPECT_EQ(h.dialogs->alerts.size(), 1u);
    ASSERT_EQ(d.CurrentFilters().size(), 1u);
    EXPECT_EQ(d.CurrentFilters()[0], b);
    QApplication::processEvents();
    EXPECT_EQ(panel->rows().size(), 1u);

    h.dialogs->alertAnswers.push_back({0, false, {}});
    panel->removeAllButton()->click();
    EXPECT_EQ(h.dialogs->alerts.back().informativeText,
              "You are going to remove all actions from the current queue");
    EXPECT_TRUE(d.CurrentFilters().empty());
    EXPECT_FALSE(panel->removeAllButton()->isEnabled());
    h.settle(2);
}
