// The H.264 bitrate browsers get (/live.mp4 and HLS): [Browser] Bitrate in
// kbps, shown in the Network Settings. Without the key it is the relay's
// bitrate, so that the two can agree; the file gets the key only once it
// differs from that or was there already.
#include "app/Unit1.h"

#include "app/Unit1Relay.h"
#include "live/browser/BrowserSide.h"
#include "platform/ini/IniFile.h"
#include "platform/ui/Application.h"

#include <QGroupBox>
#include <QLabel>
#include <QSpinBox>

namespace {

constexpr const char* Section = "Browser";
constexpr int MinKbps = 32;
constexpr int MaxKbps = 20000;

} // namespace

void TForm1::BuildBrowserBitrateControls()
{
    // In the settings group: it takes effect at the next Start.
    lblBrowserBitrate = new QLabel("Browser bitrate", GroupBox3);
    lblBrowserBitrate->setObjectName("lblBrowserBitrate");
    edBrowserBitrate = new QSpinBox(GroupBox3);
    edBrowserBitrate->setObjectName("edBrowserBitrate");
    edBrowserBitrate->setRange(MinKbps, MaxKbps);
    edBrowserBitrate->setSuffix(" kbps");
    edBrowserBitrate->setSingleStep(50);
    edBrowserBitrate->setToolTip("The H.264 bitrate of the picture browsers get (/watch).");
    lblBrowserBitrate->setBuddy(edBrowserBitrate);
    edBrowserBitrate->setValue(Relay->BitrateKbps());
    // The browser side exists once the components are made (CreateComponents
    // hands it the value shown then).
    connect(edBrowserBitrate, &QSpinBox::valueChanged, this, Guarded([this](int kbps) {
        if (Browsers)
            Browsers->SetH264Bitrate(static_cast<uint32_t>(kbps) * 1000);
    }));
}

void TForm1::ReadBrowserSettings(TIniFile& ini)
{
    const int kbps = ini.ReadInteger(Section, "Bitrate", 0);
    m_browserBitrateInFile = kbps > 0;
    edBrowserBitrate->setValue(m_browserBitrateInFile ? kbps : Relay->BitrateKbps());
}

void TForm1::WriteBrowserSettings(TIniFile& ini)
{
    if (m_browserBitrateInFile || edBrowserBitrate->value() != Relay->BitrateKbps())
        ini.WriteInteger(Section, "Bitrate", edBrowserBitrate->value());
}
