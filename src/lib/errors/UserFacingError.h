#pragma once
// A failure that carries the sentence the user is shown, so that whoever ends an operation on
// it can show that sentence without knowing which part of the program failed.

#include <QString>

#include <stdexcept>
#include <string>

class UserFacingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;

    // The sentence for the user, in the program's language; never the developer's detail.
    [[nodiscard]] virtual QString localizedDescription() const = 0;
};
