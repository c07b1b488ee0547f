#pragma once
// Mixes the two part files of a recording into the one file that is uploaded.

#include <QCoroTask>
#include <QString>

// Decodes both part files, lays them from time zero each for its full length, sums them at
// unity gain through a limiter and writes a new faststart M4A in the private folder. Runs
// the work on a worker thread and never fails: whenever the mix cannot be made it returns
// sysPath. Removes no input; a failed export leaves whatever it wrote.
QCoro::Task<QString> mergeTracks(QString sysPath, QString micPath);
