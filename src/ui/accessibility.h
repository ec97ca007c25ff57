#pragma once

// Gives the setup's own controls their accessible roles: the rounded buttons are push
// buttons that can be pressed, the links are links, the page dots are a page-tab list, the
// image views are graphics, the progress bar is read-only and the main view's failure lines are
// notifications. Safe to call more than once.
void installAccessibility();

class QLabel;
class QString;

// Writes a failure line and has screen readers read it out when its text changes; an empty
// text withdraws it.
void setAlertText(QLabel *label, const QString &text);
