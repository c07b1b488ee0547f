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
    : m_code(code) {}

QString AudioRecorderError::localizedDescription() const {
    return QString::fromUtf8(textOf(m_code));
}

const char *AudioRecorderError::what() const noexcept {
    return textOf(m_code);
}
