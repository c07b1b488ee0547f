#pragma once
// Runs a QCoro task to completion in a nested event loop and keeps its value or its exception.
//
// QCoro::waitFor alone never returns when the task throws, so tests that expect a failure run
// the task through runTask() and inspect the outcome.

#include <QCoroTask>

#include <exception>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

template <typename T> struct TaskOutcome {
    std::optional<std::conditional_t<std::is_void_v<T>, std::monostate, T>> value;
    std::exception_ptr error;

    [[nodiscard]] bool succeeded() const { return value.has_value(); }

    // The exception if it is an E.
    template <typename E> [[nodiscard]] std::optional<E> errorAs() const {
        try {
            if (error)
                std::rethrow_exception(error);
        } catch (const E &e) {
            return e;
        } catch (...) {
        }
        return std::nullopt;
    }
};

template <typename T> QCoro::Task<TaskOutcome<T>> catchingTask(QCoro::Task<T> task) {
    TaskOutcome<T> outcome;
    try {
        if constexpr (std::is_void_v<T>) {
            co_await std::move(task);
            outcome.value.emplace();
        } else {
            outcome.value.emplace(co_await std::move(task));
        }
    } catch (...) {
        outcome.error = std::current_exception();
    }
    co_return outcome;
}

template <typename T> TaskOutcome<T> runTask(QCoro::Task<T> task) {
    return QCoro::waitFor(catchingTask(std::move(task)));
}
