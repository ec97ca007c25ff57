# Faults in what the keyboard reaches and does, and the focus ring.
TESTS = 'tst_window'

FAULTS = [
    ('escape ignored', 'src/ui/installer_window.cpp', '        if (!event->isAutoRepeat())\n            close();\n', ''),
    ('tab into covered view', 'src/ui/installer_window.cpp', '        if (control->isVisibleTo(this) && control->isEnabled() &&', '        if (control->isEnabled() &&'),
    ('install view not focused', 'src/ui/installer_window.cpp', '    m_installView->mainButton()->setFocus();\n', ''),
    ('covered controls left showing', 'src/ui/installer_window.cpp', '    m_installView->mainButton()->setFocus();\n    m_mainView->setCovered(true);\n}', '    m_installView->mainButton()->setFocus();\n}'),
    ('locked before the view changes', 'src/app/main_window_controller.cpp', '    if (!busy)\n        lock();\n', '    lock();\n'),
    ('install view covers before the focus moves', 'src/ui/installer_window.cpp', '    m_installView->mainButton()->setFocus();\n    m_mainView->setCovered(true);\n', '    m_mainView->setCovered(true);\n    m_installView->mainButton()->setFocus();\n'),
    ('retry not focused', 'src/ui/installer_window.cpp', '        if (!finished)\n            m_mainView->mainButton()->setFocus();\n', ''),
    ('return ignored', 'src/ui/installer_window.cpp', '    case Qt::Key_Return:\n', ''),
    ('offline link unreachable', 'src/ui/main_view.cpp', 'QList<QWidget *>{installButton, offlineLink};', 'QList<QWidget *>{installButton};'),
    ('panel after install', 'src/ui/main_view.cpp', '    return QList<QWidget *>{acceptCheck, privacyLink, licenseLink, settingsLink} +\n           settingsControls + QList<QWidget *>{installButton, offlineLink};', '    return QList<QWidget *>{acceptCheck, privacyLink, licenseLink, settingsLink, installButton} +\n           settingsControls + QList<QWidget *>{offlineLink};'),
    ('space on button ignored', 'src/ui/rounded_button.cpp', '    if (event->key() == Qt::Key_Space && !event->isAutoRepeat())', '    if (event->key() == Qt::Key_Return && !event->isAutoRepeat())'),
    ('link keys ignored', 'src/ui/link_label.cpp', '    case Qt::Key_Return:\n    case Qt::Key_Enter:\n    case Qt::Key_Space:\n', '    case Qt::Key_Enter:\n'),
    ('link not focusable', 'src/ui/link_label.cpp', '    setFocusPolicy(Qt::StrongFocus);\n', ''),
    ('dots keys ignored', 'src/ui/dots_view.cpp', "    const int step = event->key() == Qt::Key_Left ? -1 : event->key() == Qt::Key_Right ? 1 : 0;", "    const int step = 0;"),
    ('ring with the mouse', 'src/ui/focus_ring.cpp', '        !m_window->testAttribute(Qt::WA_KeyboardFocusChange)) {', '        false) {'),
    ('ring kept after a click', 'src/ui/focus_ring.cpp', '            m_window->setAttribute(Qt::WA_KeyboardFocusChange, false);\n', ''),
    ('settings link hidden after a failed copy', 'src/ui/main_view.cpp', '    settingsLink->setVisible(!m_covered && (!m_retryOffered || m_folderChangeable));', '    settingsLink->setVisible(!m_covered && !m_retryOffered);'),
    ('settings link after a failed download', 'src/app/main_window_controller.cpp', 'failure == SetupFlow::FailureKind::Install);', 'failure.has_value());'),
]
