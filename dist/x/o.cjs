/* Quillbarrow's skin: quiet blue-grey accents on the button-face window.
   Colours, borders and corners only: no sizes, margins, paddings or fonts,
   so every control stays where the window puts it. */

QPushButton {
    color: #1d2b3a;
    background-color: qlineargradient(x1: 0, y1: 0, x2: 0, y2: 1,
                                      stop: 0 #ffffff, stop: 1 #e4e9ef);
    border: 1px solid #8d99a6;
    border-radius: 4px;
}

QPushButton:hover {
    background-color: qlineargradient(x1: 0, y1: 0, x2: 0, y2: 1,
                                      stop: 0 #ffffff, stop: 1 #d6e4f2);
    border-color: #3f78b5;
}

QPushButton:pressed {
    background-color: #c9dbee;
    border-color: #2f629a;
}

/* The keyboard's place: a dark dotted frame, plainly not the hover's blue. */
QPushButton:focus {
    border: 1px dotted #1d2b3a;
}

QPushButton:disabled {
    color: #8a929b;
    background-color: #eef0f2;
    border-color: #c3c9cf;
}

QTreeWidget {
    color: #1d2b3a;
    background-color: #ffffff;
    border: 1px solid #8d99a6;
    selection-background-color: #3f78b5;
    selection-color: #ffffff;
}


/* The list reached with Tab: the same dark dotted frame as a focused button. */
QTreeWidget[keyboardFocus="true"] {
    border: 1px dotted #1d2b3a;
}

QLineEdit {
    color: #1d2b3a;
    background-color: #ffffff;
    border: 1px solid #8d99a6;
    border-radius: 3px;
    selection-background-color: #3f78b5;
    selection-color: #ffffff;
}

QLineEdit:focus {
    border-color: #3f78b5;
}

QProgressBar {
    color: #1d2b3a;
    background-color: #ffffff;
    border: 1px solid #8d99a6;
    border-radius: 4px;
    text-align: center;
}

QProgressBar::chunk {
    background-color: #9cc2e8;
    border-radius: 3px;
}
