// Test entry point: GoogleTest inside a QCoreApplication, so code under test can use
// timers, queued signals and QCoreApplication::applicationDirPath().
#include <QByteArray>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QThread>

#include <gtest/gtest.h>

#include <algorithm>
#include <unistd.h>

namespace {

QByteArray threadName(const QString &task)
{
    QFile comm(QStringLiteral("/proc/self/task/%1/comm").arg(task));
    return comm.open(QIODevice::ReadOnly) ? comm.readAll().trimmed() : QByteArray();
}

// Qt starts its threads detached: QThread::wait() returns before the thread has run its
// thread-local destructors, which drop its last reference to Qt's per-thread data. Give
// such threads (named after their class, unlike the threads the program starts itself)
// a moment to be gone, so the leak check at exit does not see that data half-released.
void awaitEndingQtThreads()
{
    const QByteArray mainName = threadName(QString::number(::getpid()));
    const QDeadlineTimer deadline(2000);
    while (!deadline.hasExpired()) {
        const QStringList tasks = QDir(QStringLiteral("/proc/self/task"))
                                      .entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        const bool qtThreadLeft = std::any_of(tasks.begin(), tasks.end(), [&](const QString &t) {
            const QByteArray name = threadName(t);
            return !name.isEmpty() && name != mainName;
        });
        if (!qtThreadLeft)
            return;
        QThread::msleep(2);
    }
}

} // namespace

int main(int argc, char **argv)
{
    int rc = 0;
    {
        QCoreApplication app(argc, argv);
        ::testing::InitGoogleTest(&argc, argv);
        rc = RUN_ALL_TESTS();
    }
    awaitEndingQtThreads();
    return rc;
}
