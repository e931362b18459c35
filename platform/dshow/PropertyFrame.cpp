#include "platform/dshow/PropertyFrame.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QTabWidget>
#include <QVBoxLayout>

#include <vector>

namespace {

PropertyFrameHook& Hook()
{
    static PropertyFrameHook hook;
    return hook;
}

struct SavedControl {
    long property, value, flags;
};

// One slider per picture control the device has, with its range and default.
QWidget* BuildProcAmpPage(IAMVideoProcAmp* procAmp, std::vector<SavedControl>& saved)
{
    auto* page = new QWidget;
    auto* grid = new QGridLayout(page);
    int row = 0;
    std::vector<std::pair<QSlider*, long>> defaults;
    for (long property = VideoProcAmp_Brightness; property <= VideoProcAmp_Gain; ++property) {
        long min = 0, max = 0, step = 1, def = 0, caps = 0;
        if (FAILED(procAmp->GetRange(property, &min, &max, &step, &def, &caps)) || max < min)
            continue;
        long value = def, flags = VideoProcAmp_Flags_Manual;
        procAmp->Get(property, &value, &flags);
        saved.push_back({property, value, flags});
        const QString name = QString::fromLatin1(VideoProcAmpPropertyName(property));
        // The device's own name for the control, as other camera programs show it.
        std::string shownName;
        if (FAILED(procAmp->GetPropertyName(property, &shownName)) || shownName.empty())
            shownName = VideoProcAmpDisplayName(property);
        auto* label = new QLabel(QString::fromStdString(shownName), page);
        label->setObjectName("label" + name);
        auto* slider = new QSlider(Qt::Horizontal, page);
        slider->setObjectName("slider" + name);
        slider->setRange(static_cast<int>(min), static_cast<int>(max));
        slider->setSingleStep(static_cast<int>(step > 0 ? step : 1));
        slider->setPageStep(static_cast<int>(std::max<long>(step, (max - min) / 10)));
        slider->setValue(static_cast<int>(value));
        auto* shown = new QLabel(QString::number(value), page);
        shown->setMinimumWidth(40);
        grid->addWidget(label, row, 0);
        grid->addWidget(slider, row, 1);
        grid->addWidget(shown, row, 2);
        QObject::connect(slider, &QSlider::valueChanged, page, [procAmp, property, shown](int v) {
            shown->setText(QString::number(v));
            procAmp->Set(property, v, VideoProcAmp_Flags_Manual);
        });
        if (caps & VideoProcAmp_Flags_Auto) {
            auto* automatic = new QCheckBox(QObject::tr("Auto"), page);
            automatic->setObjectName("auto" + name);
            automatic->setChecked(flags & VideoProcAmp_Flags_Auto);
            slider->setEnabled(!automatic->isChecked());
            grid->addWidget(automatic, row, 3);
            QObject::connect(automatic, &QCheckBox::toggled, page, [procAmp, property, slider](bool on) {
                slider->setEnabled(!on);
                procAmp->Set(property, slider->value(), on ? VideoProcAmp_Flags_Auto : VideoProcAmp_Flags_Manual);
            });
        }
        defaults.emplace_back(slider, def);
        ++row;
    }
    auto* reset = new QPushButton(QObject::tr("Default"), page);
    reset->setObjectName("btnDefault");
    QObject::connect(reset, &QPushButton::clicked, page, [defaults] {
        for (auto& [slider, def] : defaults)
            slider->setValue(static_cast<int>(def));
    });
    grid->addWidget(reset, row, 0);
    grid->setRowStretch(row + 1, 1);
    return row ? page : (delete page, nullptr);
}

// The crossbar's video inputs for its first output.
QWidget* BuildCrossbarPage(IAMCrossbar* crossbar, long& savedInput)
{
    long outputs = 0, inputs = 0;
    if (FAILED(crossbar->get_PinCounts(&outputs, &inputs)) || outputs < 1 || inputs < 1)
        return nullptr;
    auto* page = new QWidget;
    auto* grid = new QGridLayout(page);
    grid->addWidget(new QLabel(QObject::tr("Output"), page), 0, 0);
    std::string outName = "Video Decoder Out";
    crossbar->get_CrossbarPinName(FALSE, 0, &outName);
    grid->addWidget(new QLabel(QString::fromStdString(outName), page), 0, 1);
    grid->addWidget(new QLabel(QObject::tr("Input"), page), 1, 0);
    auto* list = new QComboBox(page);
    list->setObjectName("cbInput");
    for (long i = 0; i < inputs; ++i) {
        std::string name;
        if (FAILED(crossbar->get_CrossbarPinName(TRUE, i, &name)))
            name = "Input " + std::to_string(i);
        list->addItem(QString::fromStdString(name));
    }
    savedInput = -1;
    crossbar->get_IsRoutedTo(0, &savedInput);
    list->setCurrentIndex(static_cast<int>(savedInput));
    grid->addWidget(list, 1, 1);
    grid->setRowStretch(2, 1);
    QObject::connect(list, &QComboBox::currentIndexChanged, page, [crossbar](int index) {
        if (index >= 0)
            crossbar->Route(0, index);
    });
    return page;
}

} // namespace

PropertyFrameHook SetPropertyFrameHook(PropertyFrameHook hook)
{
    PropertyFrameHook previous = std::move(Hook());
    Hook() = std::move(hook);
    return previous;
}

HRESULT OleCreatePropertyFrame(OAHWND owner, unsigned x, unsigned y, const char* caption, ULONG objectCount,
                               IUnknown** objects, ULONG pageCount, const CLSID* pages, LCID, DWORD, void*)
{
    if (objectCount < 1 || !objects || !objects[0] || (pageCount && !pages))
        return E_INVALIDARG;
    auto* parent = reinterpret_cast<QWidget*>(owner);
    QDialog dialog(parent);
    dialog.setObjectName("PropertyFrame");
    dialog.setWindowTitle(caption && *caption ? QString::fromUtf8(caption) : QObject::tr("Properties"));
    auto* layout = new QVBoxLayout(&dialog);
    auto* tabs = new QTabWidget(&dialog);
    layout->addWidget(tabs);

    ComPtr<IAMVideoProcAmp> procAmp = QueryInterfacePtr<IAMVideoProcAmp>(objects[0]);
    ComPtr<IAMCrossbar> crossbar = QueryInterfacePtr<IAMCrossbar>(objects[0]);
    std::vector<SavedControl> savedControls;
    long savedInput = -1;
    for (ULONG i = 0; i < pageCount; ++i) {
        if (pages[i] == CLSID_VideoProcAmpPropertyPage && procAmp) {
            if (QWidget* page = BuildProcAmpPage(procAmp.Get(), savedControls))
                tabs->addTab(page, QObject::tr("Video Proc Amp"));
        } else if (pages[i] == CLSID_CrossbarFilterPropertyPage && crossbar) {
            if (QWidget* page = BuildCrossbarPage(crossbar.Get(), savedInput))
                tabs->addTab(page, QObject::tr("Crossbar"));
        }
    }
    if (tabs->count() == 0)
        return E_INVALIDARG;

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    layout->addWidget(buttons);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    const QPoint at = parent ? parent->mapToGlobal(QPoint(static_cast<int>(x), static_cast<int>(y)))
                             : QPoint(static_cast<int>(x), static_cast<int>(y));
    dialog.move(at);

    int result = QDialog::Rejected;
    if (Hook()) {
        dialog.setResult(QDialog::Accepted);
        dialog.show();
        Hook()(dialog);
        result = dialog.result();
        dialog.hide();
    } else {
        result = dialog.exec();
    }
    // Changes went to the device as they were made; Cancel takes them back.
    if (result != QDialog::Accepted) {
        for (const SavedControl& c : savedControls)
            procAmp->Set(c.property, c.value, c.flags);
        if (crossbar && savedInput >= 0)
            crossbar->Route(0, savedInput);
    }
    return S_OK;
}
