#include "AudioRecorderError.h"

namespace {

const char *textOf(AudioRecorderError::Code code) {
    switch (code) {
    case AudioRecorderError::Code::noDisplay:
        return "Не найдено устройство вывода звука для записи";
    case AudioRecorderError::Code::noPermission:
        return "Нет доступа к звуковому серверу. Проверьте, что PulseAudio или PipeWire запущен, "
               "затем перезапустите приложение";
    }
    return "";
}

} // namespace

AudioRecorderError::AudioRecorderError(Code code)
    : UserFacingError(textOf(code))
    , m_code(code) {}

QString AudioRecorderError::localizedDescription() const {
    return QString::fromUtf8(textOf(m_code));
}
