#pragma once

class QWidget;

// A view that only lists things, such as the address-book tree, the queue view or the compose
// dialog's recipients, stands on the grey of a button's face rather than an edit's white.
void UseButtonFaceBackground(QWidget *widget);
