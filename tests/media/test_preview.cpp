// The "Video Source" group of the real main window, offscreen, with the
// built-in test source: Preview shows the moving picture, Configure's frame
// changes it, picking another source stops it, and the failure paths show
// their messages.

#include "tests/app/AppFixture.h"

#include "media/MediaKit.h"
#include "platform/dshow/PropertyFrame.h"

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QPushButton>
#include <QSlider>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace {

void Pump(int ms)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        QApplication::processEvents(QEventLoop::AllEvents, 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

class Preview : public AppFixture {
protected:
    void SetUp() override
    {
        setenv("LUMORA_TEST_SOURCE", "1", 1);
        AppFixture::SetUp();
    }
    void TearDown() override
    {
        SetPropertyFrameHook(nullptr);
        AppFixture::TearDown();
        unsetenv("LUMORA_TEST_SOURCE");
    }

    // The picture where the video window sits (its middle two thirds).
    QImage VideoArea()
    {
        QWidget* video = m_form->VideoWindow1;
        const QRect area(video->mapTo(m_form.get(), QPoint(0, 0)), video->size());
        return m_form->grab().toImage().copy(area.adjusted(area.width() / 6, area.height() / 6, -area.width() / 6, -area.height() / 6));
    }
    static double MeanLuma(const QImage& image)
    {
        double sum = 0;
        int n = 0;
        for (int y = 0; y < image.height(); y += 4)
            for (int x = 0; x < image.width(); x += 4) {
                const QColor c = image.pixelColor(x, y);
                sum += 0.299 * c.red() + 0.587 * c.green() + 0.114 * c.blue();
                ++n;
            }
        return n ? sum / n : 0;
    }

    void SelectTestSource()
    {
        const int row = m_form->cbSource->findText("Lumora Test Pattern");
        ASSERT_GE(row, 0);
        m_form->cbSource->setCurrentIndex(row);
    }
};

} // namespace

TEST_F(Preview, ShowsTheMovingTestPatternAndItsDeviceSettings)
{
    TForm1& form = Open();
    ASSERT_TRUE(form.FilterGraph1 && form.Filter1 && form.VideoWindow1) << "media components not created by the window";
    SelectTestSource();
    Pump(50);
    form.btnPreview->click();
    ASSERT_TRUE(m_errors.empty()) << m_errors.front();
    EXPECT_TRUE(form.FilterGraph1->Active());
    EXPECT_FALSE(form.btnPreview->isEnabled());
    EXPECT_TRUE(form.btnStart->isEnabled());
    EXPECT_TRUE(form.btnCrossbar->isEnabled());
    EXPECT_TRUE(form.btnConfigure->isEnabled());
    EXPECT_EQ(form.SourceIndex, form.cbSource->currentIndex());

    Pump(400);
    const QImage first = VideoArea();
    Pump(300);
    const QImage second = VideoArea();
    EXPECT_NE(first, second) << "the picture does not move";
    EXPECT_GT(MeanLuma(second), 40.0) << "the video area is black";
    SaveScreenshot("preview_test_pattern.png");

    // Configure: the brightness slider darkens the picture while the frame is open.
    double whileOpen = 0;
    SetPropertyFrameHook([&](QDialog& dialog) {
        auto* slider = dialog.findChild<QSlider*>("sliderBrightness");
        ASSERT_NE(slider, nullptr);
        slider->setValue(slider->minimum());
        Pump(300);
        whileOpen = MeanLuma(VideoArea());
    });
    form.btnConfigure->click();
    EXPECT_LT(whileOpen, MeanLuma(second) - 30) << "brightness had no effect";
    EXPECT_TRUE(m_messages.empty());

    // Crossbar: the second input (a grey ramp) changes the picture.
    SetPropertyFrameHook([&](QDialog& dialog) {
        auto* inputs = dialog.findChild<QComboBox*>("cbInput");
        ASSERT_NE(inputs, nullptr);
        ASSERT_EQ(inputs->count(), 2);
        inputs->setCurrentIndex(1);
    });
    form.btnCrossbar->click();
    EXPECT_TRUE(m_messages.empty());

    // Picking another source stops the preview at once.
    form.cbSource->setCurrentIndex(-1);
    form.cbSourceChange();
    Pump(100);
    EXPECT_FALSE(form.FilterGraph1->Active());
    EXPECT_TRUE(form.btnPreview->isEnabled());
    EXPECT_TRUE(form.btnConfigure->isEnabled()) << "kept until the next Preview";
    EXPECT_LT(MeanLuma(VideoArea()), 5.0) << "the video window did not go blank";

    // The device buttons now find no graph: their own messages.
    form.btnCrossbar->click();
    form.btnConfigure->click();
    EXPECT_EQ(m_messages, (std::vector<std::string>{"Error reading device driver crossbar properties.",
                                                    "Error reading device driver display properties."}));
}

TEST_F(Preview, WithoutASourcePreviewSaysWhatToDo)
{
    setenv("LUMORA_TEST_SOURCE", "0", 1);
    TForm1& form = Open();
    ASSERT_TRUE(form.FilterGraph1) << "media components not created by the window";
    form.cbSource->setCurrentIndex(-1);
    form.btnPreview->click();
    EXPECT_EQ(m_errors, std::vector<std::string>{NoVideoSourceText});
    EXPECT_FALSE(form.FilterGraph1->Active());
    EXPECT_EQ(form.SourceIndex, -1);
    EXPECT_TRUE(form.btnPreview->isEnabled());
}
