#include "core/BatchRun.h"

BatchRun::BatchRun(QStringList folders, QString outputFolder, BatchRunHooks hooks, QObject *parent)
    : QObject(parent), m_folders(std::move(folders)), m_outputFolder(std::move(outputFolder)),
      m_hooks(std::move(hooks))
{
}

void BatchRun::run(ErrorTrap &trap)
{
    const qsizetype count = m_folders.size();
    for (qsizetype i = 1; i <= count; ++i) {
        const int number = int(i);
        QString folder;
        trap(106, [&] { folder = m_folders.at(i - 1); });
        trap(108, [&] { emit progressChanged(double(i) / double(count) * 100.0); });
        trap(110, [&] { emit folderStarted(number, folder); });
        trap(112, [&] {
            if (m_hooks.yield)
                m_hooks.yield();
        });
        trap(114, [&] { emit folderZipping(number); });
        trap(116, [&] { zipFolder(number, folder); });
    }
}

void BatchRun::zipFolder(int number, const QString &folder)
{
    ErrorTrap::Reporter reporter = m_hooks.reportFolderError;
    if (!reporter)
        reporter = [](const QString &, int, const QString &) {};
    ErrorTrap trap(ErrorTrap::formLocation(QStringLiteral("ZipFolder")), reporter);
    ZipFolderHooks hooks;
    hooks.yield = m_hooks.yield;
    hooks.showEngineMessages = m_hooks.showEngineMessages;
    hooks.names = &m_names;
    hooks.notes = &m_notes;
    QString archive;
    hooks.archivePath = &archive;
    const qint32 result = ZipFolderSteps(m_outputFolder, folder, trap, hooks);
    emit folderFinished(number, archive, result);
}
