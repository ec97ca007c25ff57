#pragma once

// Gives the setup's own controls their accessible roles: the rounded buttons are push
// buttons that can be pressed, the links are links, the page dots are a page-tab list and the
// image views are graphics.
// Safe to call more than once.
void installAccessibility();
