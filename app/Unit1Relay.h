#pragma once
// The window's side of the relay to a media server or streaming service:
// the "Relay" group of the Network page, its settings, and the relay that
// runs beside the direct stream from Start to Stop.

#include "live/relay/RtmpRelay.h"

#include <QLineEdit>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <string>

class QTimer;
class TForm1;
class TIniFile;
class PictureTap;

// The relay address field: shown masked like a password except the scheme
// and the host (with its port), which the user may see to check where the
// stream goes. The real text lives here; every character of the field
// stands for one character of it, so edits map back position by position.
class TRelayUrlEdit : public QLineEdit {
public:
    explicit TRelayUrlEdit(QWidget* parent);

    const QString& Url() const { return m_url; }
    void SetUrl(const QString& url);
    // What the field shows for `url`.
    static QString Masked(const QString& url);

    std::function<void()> OnUserEdit;

private:
    void Edited(const QString& shown);

    QString m_url;
    QString m_shown;
};

// Settings, the running relay and its status text.
class TRelayController {
public:
    explicit TRelayController(TForm1& form);
    ~TRelayController(); // stops the relay

    void Load(const TIniFile& ini);
    void Save(TIniFile& ini) const;
    // A run-only address (--relay): ticks the box and shows the address but
    // never reaches the settings file; what the user then changes by hand
    // (the box, or the address typed over) is saved as usual.
    void OverrideForThisRun(const std::string& url);

    // Called by Start once the graph plays, and by Stop before it goes.
    void Start();
    void Stop();

    // The video bitrate of the relay in kbps: the setting, or the profile's
    // bitrate but at least 300.
    int BitrateKbps() const;
    // The AAC bitrate with sound on in kbps: the setting, or 64.
    int AudioBitrateKbps() const;
    RtmpRelay* Running() const { return m_relay.get(); }

private:
    void StatusChanged(const RelayStatus& status);
    void ShowStatus();

    TForm1& m_form;
    QTimer* m_clock = nullptr; // refreshes "live hh:mm:ss"
    // Receives the running relay's status notices; replaced at each Start
    // and deleted at Stop, so a notice still on its way is dropped.
    std::unique_ptr<QObject> m_notices;
    std::shared_ptr<RtmpRelay> m_relay;
    std::shared_ptr<void> m_sound; // the audio tap feeding the relay while sound is on

    // As read from the settings file; saved back while a run-only address
    // is in use.
    bool m_inFile = false;
    std::string m_fileUrl;
    bool m_fileEnabled = false;
    int m_fileBitrate = 0;
    int m_fileAudioBitrate = 0; // [Relay] AudioBitrate, 0 when absent
    std::string m_fileFingerprint; // [Relay] TrustedFingerprint: an rtmps:// certificate to accept
    bool m_urlOverride = false;     // the field holds the run-only address
    bool m_enabledOverride = false; // the box was ticked for the run-only address
    std::string m_printed; // last line printed for the headless output
};
