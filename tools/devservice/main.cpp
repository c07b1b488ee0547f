// tolvex-devservice: the local reference service for running Tolvex end to end on one machine.

#include "CommandLine.h"
#include "DevService.h"
#include "DevStore.h"

#include <csignal>
#include <cstdio>
#include <iostream>
#include <pthread.h>
#include <system_error>
#include <thread>

int main(int argc, char **argv) {
    CommandLine options;
    try {
        options = CommandLine::parse(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const CommandLine::UsageError &e) {
        std::cerr << "tolvex-devservice: " << e.what() << "\n\n" << CommandLine::usage();
        return 2;
    }
    if (options.help) {
        std::cout << CommandLine::usage();
        return 0;
    }

    // Ctrl+C and SIGTERM are taken by one thread that stops the server, so that requests
    // under way finish and no state write is cut in half.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    try {
        DevStore store(options.dataFolder);
        DevService service(
            store, {options.nonceLifetime, options.maxUpload, options.autoConfirmAfterPolls});
        service.bind(options.port);
        std::cout << "Tolvex devservice: " << service.origin() << "/api\n"
                  << "Встречи: " << service.meetingsAddress() << "\n"
                  << "Данные: " << store.folder().string() << "\n"
                  << std::flush;

        std::thread signalWaiter([&service, stopSignals] {
            int signal = 0;
            sigwait(&stopSignals, &signal);
            service.stop();
        });
        service.run();
        // run() also ends when listening fails; wake the waiter so that it can be joined.
        pthread_kill(signalWaiter.native_handle(), SIGTERM);
        signalWaiter.join();
    } catch (const DevStore::LoadError &e) {
        std::cerr << "tolvex-devservice: не удалось прочитать данные: " << e.what() << "\n";
        return 1;
    } catch (const std::system_error &e) {
        std::cerr << "tolvex-devservice: " << e.what() << "\n";
        return 1;
    } catch (const std::runtime_error &e) {
        std::cerr << "tolvex-devservice: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
