#include "HearingReport.h"

QList<RecordingNotice> HearingReport::notices() const {
    using Code = RecordingNotice::Code;
    const auto named = [](Code code, const std::string &description) {
        return RecordingNotice{code, QString::fromStdString(description)};
    };
    QList<RecordingNotice> notices;
    if (devices.sinkIsDummy)
        notices << named(Code::outputIsDummy, devices.sinkDescription);
    else if (systemSilent)
        notices << RecordingNotice{Code::systemSilent, {}};

    if (devices.sourceIsMonitor)
        notices << named(Code::inputIsMonitor, devices.sourceDescription);
    else if (devices.sourceMuted)
        notices << named(Code::microphoneMuted, devices.sourceDescription);
    else if (microphoneSilent)
        notices << RecordingNotice{Code::microphoneSilent, {}};
    return notices;
}
