# Faults in the program around the window: start-up, being told to end, what is left at the end.
TESTS = 'tst_e2e'

FAULTS = [
    ('unsure start sweeps', 'src/app/main.cpp', 'if (claim == SingleInstance::Claim::Alone)', 'if (claim != SingleInstance::Claim::AnotherRuns)'),
    ('start never sweeps', 'src/app/main.cpp', 'if (claim == SingleInstance::Claim::Alone)', 'if (claim == SingleInstance::Claim::NotSure)'),
    ('folder removed while the installer runs', 'src/app/main.cpp', '    if (QThreadPool::globalInstance()->waitForDone(kInstallerWaitMs))\n        Paths::removePrivateTemporaryFolder();\n    else\n', '    QThreadPool::globalInstance()->waitForDone(kInstallerWaitMs);\n    Paths::removePrivateTemporaryFolder();\n'),
    ('signal asks the window', 'src/app/main.cpp', '            delegate.mainController()->flow().terminationRequested();', '            delegate.mainController()->askToClose();'),
    ('no wait for events in flight', 'src/app/main.cpp', '    ITAnalyticsFlush(kAnalyticsWaitMs);\n', ''),
    ('end waits for the first answer only', 'src/diag/analytics.cpp', 'wait_for(lock, limit, [this] { return m_inFlight.empty(); });', 'wait_for(lock, limit, [this, n = m_inFlight.size()] { return m_inFlight.size() < n; });'),
]
