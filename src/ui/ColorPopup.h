#pragma once

#include <QPointer>
#include <QWidget>

class QEventLoop;

namespace kestrel {

// The pop-up of a colour button: the twenty cells of the shared colour table and
// "その他...", which runs the full colour chooser. A press outside closes it as Cancel
// (the press goes nowhere else), as does Esc.
class ColorPopup : public QWidget {
    Q_OBJECT
public:
    explicit ColorPopup(QWidget* button);
    ~ColorPopup() override;

    // Opens under the button and waits: the chosen cell (0 to 19, already made the most
    // recent), or -1 for Cancel.
    int Run();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void Finish(int cell);
    void RunChooser();

    QPointer<QWidget> m_button;
    QEventLoop* m_loop = nullptr;
    int m_result = -1;
    bool m_inChooser = false;
    QPoint m_place;
};

} // namespace kestrel
