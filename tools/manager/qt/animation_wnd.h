// The animation beside the buttons: frames from consecutive bitmaps shown in
// turn while the server runs, the first one at rest, in a sunken border two
// pixels wide.
#pragma once
#include <QBasicTimer>
#include <QImage>
#include <QWidget>
#include <vector>

namespace qn::manager {

class CAnimationWnd : public QWidget {
 public:
  CAnimationWnd(const QRect& rect, QWidget* parent, int id);
  // Frames `first` to `first` + count - 1 (bitmaps "frame01" ...), shown
  // `intervalMs` apart; frame 1 is current afterwards.
  void LoadFrames(int first, int count, int intervalMs);
  void Start();
  // Back to frame 1, painted at once, also when not running.
  void Stop();

  bool Running() const { return running_; }
  int CurrentFrame() const { return frame_; }
  int FrameCount() const { return static_cast<int>(frames_.size()); }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void timerEvent(QTimerEvent* event) override;

 private:
  std::vector<QImage> frames_;
  int interval_ = 0;
  int frame_ = 1;
  bool running_ = false;
  QBasicTimer timer_;
};

}  // namespace qn::manager
