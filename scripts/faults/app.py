# Faults in the program around the window: start-up, being told to end, what is left at the end.
TESTS = 'tst_e2e'

FAULTS = [
    ('unsure start sweeps', 'src/app/main.cpp', 'if (claim == SingleInstance::Claim::Alone)', 'if (claim != SingleInstance::Claim::AnotherRuns)'),
    ('start never sweeps', 'src/app/main.cpp', 'if (claim == SingleInstance::Claim::Alone)', 'if (claim == SingleInstance::Claim::NotSure)'),
    ('folder removed while the installer runs', 'src/app/main.cpp', '    if (QThreadPool::globalInstance()->waitForDone(kInstallerWaitMs))\n        Paths::removePrivateTemporaryFolder();\n    else\n', '    QThreadPool::globalInstance()->waitForDone(kInstallerWaitMs);\n    Paths::removePrivateTemporaryFolder();\n'),
    ('signal asks the window', 'src/app/main.cpp', '            delegate.mainController()->flow().terminationRequested();', '            delegate.mainController()->askToClose();'),
    ('no wait for events in flight', 'src/app/main.cpp', '    ITAnalyticsFlush(kAnalyticsWaitMs);\n', ''),
]
