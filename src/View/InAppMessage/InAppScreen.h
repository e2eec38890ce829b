#pragma once

#include <memory>
#include <optional>

#include "Platform/UI/View.h"
#include "View/InAppMessage/CommonView.h"
#include "sorvel/InAppPresentation.h"

namespace sorvel {

// A view tree as plain drawing nodes, frames in the parent's coordinates (the
// root's in its window's), labels set in lines with the current measurer.
InAppViewNode snapshotOf(const platform::View& view);

// A shown message as the host's presenter sees it: the view on its window,
// held weakly, with taps and drags delivered to that window.
class WindowMessageScreen final : public InAppMessageScreen {
  public:
    WindowMessageScreen(const std::shared_ptr<IAMView>& view,
                        const std::shared_ptr<platform::Window>& window);
    double width() const override;
    double height() const override;
    InAppViewNode snapshot() const override;
    bool isShowing() const override;
    bool tap(double x, double y) override;
    void beginDrag(double x, double y) override;
    void moveDrag(double x, double y) override;
    void endDrag(double x, double y, bool cancelled) override;
    bool scroll(double x, double y, double deltaX, double deltaY) override;

  private:
    std::weak_ptr<IAMView> view_;
    std::weak_ptr<platform::Window> window_;
    std::optional<platform::Drag> drag_;
};

}  // namespace sorvel
