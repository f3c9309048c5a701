#pragma once

#include <QPointer>
#include <QWidget>

#include <vector>

class QAbstractButton;
class QEventLoop;

namespace kestrel {

// The pop-up of a colour button: the twenty cells of the shared colour table and
// "その他...", which runs the full colour chooser. A press outside closes it as Cancel
// (the press goes nowhere else), as does Esc. The arrow keys move between the cells (in
// rows of four) and "その他..." below them; Enter or space takes the focused one.
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
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Finish(int cell);
    void RunChooser();
    void FocusStart();
    int FocusedCell() const;

    QPointer<QWidget> m_button;
    std::vector<QAbstractButton*> m_cells;
    QAbstractButton* m_other = nullptr;
    QEventLoop* m_loop = nullptr;
    int m_result = -1;
    bool m_inChooser = false;
    QPoint m_place;
};

// Where an arrow key moves the focus: cells 0 to 19 in rows of four, 20 for "その他...",
// which lies below the last row. Edges hold.
int NextPopupPlace(int place, int key);

} // namespace kestrel
