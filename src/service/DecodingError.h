#pragma once
// A service answer that could not be read as the record the request expects.

#include "UserFacingError.h"

#include <QString>

#include <string>

class DecodingError : public UserFacingError {
public:
    enum class Kind {
        dataCorrupted, // not JSON, the top level is not an object, or the body is too large
        keyNotFound,   // a required key is missing
        valueNotFound, // a required key is null
        typeMismatch,  // a value cannot be read as the field's type
    };

    DecodingError(Kind kind, std::string key, const std::string &detail);

    [[nodiscard]] Kind kind() const noexcept { return m_kind; }
    // The JSON key the problem is about; empty for problems of the whole body.
    [[nodiscard]] const std::string &key() const noexcept { return m_key; }
    // The text a user sees: says the answer could not be read, never echoes its content.
    [[nodiscard]] QString localizedDescription() const override;

private:
    Kind m_kind;
    std::string m_key;
};
