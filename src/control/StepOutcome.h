#pragma once
// A step of a recording's way to the service (a meeting made, a file sent) either gives its
// value or its failure: the text the user is shown, and whether the service refused the token.

#include "URLError.h"
#include "UserFacingError.h"
#include "UserTexts.h"

#include <QCoroTask>
#include <QString>

#include <exception>
#include <type_traits>
#include <utility>
#include <variant>

// What a step without a value gives when it succeeds. (Not std::monostate: QCoro keeps its
// results in a variant whose monostate means "no result yet", and would never resume.)
struct StepDone {};

struct StepFailure {
    QString text;
    bool tokenRefused = false;
};

template <typename T>
using StepOutcome = std::variant<std::conditional_t<std::is_void_v<T>, StepDone, T>, StepFailure>;

// Runs `step`, turning what it throws into its failure.
template <typename T> QCoro::Task<StepOutcome<T>> attemptStep(QCoro::Task<T> step) {
    try {
        if constexpr (std::is_void_v<T>) {
            co_await std::move(step);
            co_return StepDone{};
        } else {
            co_return co_await std::move(step);
        }
    } catch (const URLError &error) {
        co_return StepFailure{error.localizedDescription(),
                              error.code() == URLError::Code::userAuthenticationRequired};
    } catch (const UserFacingError &error) {
        co_return StepFailure{error.localizedDescription()};
    } catch (const std::exception &) {
        // Anything else still ends on the error screen, where the recording can be retried,
        // rather than in a flow that never finishes.
        co_return StepFailure{unexpectedErrorText()};
    }
}

template <typename T> const StepFailure *failureOf(const StepOutcome<T> &outcome) {
    return std::get_if<StepFailure>(&outcome);
}
