#pragma once
// The window's side of sound: the "Audio" choice, its level meter and mute
// box in the "Video Source" group, the [Audio] settings, and the audio
// capture source that joins the stream's graph from Start to Stop.

#include "platform/com/Unknown.h"
#include "platform/dshow/AudioCapture.h"
#include "platform/wmf/AudioTap.h"

#include <memory>
#include <string>
#include <vector>

class QTimer;
class TForm1;
class TIniFile;
struct IBaseFilter;

inline constexpr const char* kMicrophoneLost = "Microphone lost";

class TAudioController {
public:
    explicit TAudioController(TForm1& form);
    ~TAudioController();

    // The controls, made in the "Video Source" group (placed by the layout).
    void BuildControls();
    // Lists the inputs again, the chosen camera's own microphone first; the
    // choice stays on the same input.
    void ListInputs();

    // [Audio] Source (the input's identity) and Enabled. Saved only once the
    // choice was used, so a file without the section keeps its keys.
    void Load(const TIniFile& ini);
    void Save(TIniFile& ini) const;

    // An input is chosen (sound on).
    bool On() const;
    // Called by Start once the video is in the graph, before it plays: the
    // chosen input joins the graph, feeding the writer's audio stream when
    // the profile has one and the writer's audio tap always.
    void Connect();
    // Called by Stop: the source leaves with the graph.
    void Disconnect();

    // The sound for an output beside the ASF stream (the relay, the
    // browsers' H.264): while sound is on, `consumer` gets every buffer of
    // the writer's audio tap until the returned handle is dropped (then no
    // call is in progress). Null while sound is off.
    std::shared_ptr<void> FeedOutput(AudioTap::Consumer consumer) const;

    // The graph reported a lost or returned device: true when it was ours.
    bool DeviceLost(IUnknown* device, bool removed);

    // For tests: the inputs in list order (row 1 on).
    const std::vector<AudioInput>& Inputs() const { return m_inputs; }

private:
    void ChoiceChanged();
    void ShowLevel();
    std::string CameraPath() const;

    TForm1& m_form;
    QTimer* m_meter = nullptr;
    std::vector<AudioInput> m_inputs;
    std::string m_chosen;     // "kind:path" of the input last chosen
    bool m_enabled = false;
    bool m_used = false;      // the section was in the file or the choice was changed
    ComPtr<IBaseFilter> m_source;
    // Kept after Stop until the next Start: its events may still come.
    ComPtr<IBaseFilter> m_lastSource;
    ComPtr<IAudioCaptureControl> m_control;
    std::shared_ptr<AudioTap> m_tap;
};
