# Faults in what a screen reader finds on the accessibility bus.
TESTS = 'tst_window$|tst_e2e_accessibility'

FAULTS = [
    ('bar offers actions', 'src/ui/accessibility.cpp', '    if (className == QLatin1StringView("ProgressBar"))\n        return new ProgressAccessible(static_cast<ProgressBar *>(object));\n', ''),
    ('failure lines as plain text', 'src/ui/accessibility.cpp', 'QAccessibleWidget(label, QAccessible::Notification)', 'QAccessibleWidget(label, QAccessible::StaticText)'),
    ('empty failure line shows', 'src/ui/accessibility.cpp', '        s.invisible = s.invisible || text(QAccessible::Name).isEmpty();\n', ''),
    ('dots a list', 'src/ui/accessibility.cpp', 'QAccessibleWidget(dots, QAccessible::PageTabList)', 'QAccessibleWidget(dots, QAccessible::List)'),
    ('link not focusable', 'src/ui/link_label.cpp', 'setFocusPolicy(Qt::StrongFocus);', 'setFocusPolicy(Qt::NoFocus);'),
    ('percent not announced', 'src/ui/progress_bar.cpp', '    if (percentText() != before) {', '    if (false && percentText() != before) {'),
    ('percent rounded', 'src/ui/progress_bar.cpp', 'static_cast<qint64>(m_value * 100 / m_maxValue)', 'qRound64(m_value * 100 / m_maxValue)'),
    ('picture unnamed', 'src/ui/install_view.cpp', '    slideImageView->setAccessibleName(slideTitle->text());\n', ''),
]
