// The notification-area icon: TmdTray shows one icon with a tool tip and a
// menu, and turns the user's clicks on it into three events (a click, a
// double-click, a request for the menu). The desktop side sits behind
// TrayBackend, so that the icon's rules can be tested where no notification
// area exists (the offscreen platform); QtTrayBackend is the real one, on
// QSystemTrayIcon.
//
// Rules kept from the original component: the tip is cut to 63 characters
// and follows the component's name until it is assigned; the icon is the
// explicit Icon when it holds one, else the resource named at IconIndex of
// IconResources ("MAINICON" is the program's icon), else none; without an
// icon (or without a notification area) nothing is shown and Active reads
// false; a double-click first fires SimpelFunction (its first press), then
// DefaultFunction; a request for the menu fires ShowMenu, then shows
// PopupMenu.
//
// The notification area may go away while the program runs (its program
// ends) and come back. The backend watches for that; the tray then shows the
// icon again when the area returns, and Active follows: it reads true only
// while the icon is really shown. activeChanged tells when that changes.
//
// Owns its backend; borrows the menu. User-interface thread only.
#pragma once

#include <QIcon>
#include <QObject>
#include <QPoint>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>

#include <QMenu>

namespace orvane::ui {

class TrayBackend {
 public:
  enum class Click { Single, Double, Menu };

  virtual ~TrayBackend() = default;
  // Whether the desktop has a notification area now.
  virtual bool available() const = 0;
  virtual void show(const QIcon& icon, const QString& tip) = 0;
  virtual void hide() = 0;
  virtual bool shown() const = 0;
  // Shows `menu` at the pointer (or where the desktop puts tray menus).
  virtual void popUp(QMenu* menu) = 0;

  std::function<void(Click)> onClick;
  // Called when available() changes, after the change.
  std::function<void()> onAvailabilityChanged;

  // The backend a new TmdTray gets: the Qt one unless a test installed a
  // factory of its own.
  static std::unique_ptr<TrayBackend> create();
  static void setFactoryForTests(std::function<std::unique_ptr<TrayBackend>()> factory);
};

class TmdTray final : public QObject {
  Q_OBJECT

 public:
  static constexpr int kMaxTip = 63;

  explicit TmdTray(QObject* parent = nullptr);
  ~TmdTray() override;

  // True while the icon is shown; false when there is no icon to show or no
  // notification area, whatever was assigned.
  bool Active() const;
  void setActive(bool active);

  QIcon Icon() const { return icon_; }
  void setIcon(const QIcon& icon);
  QStringList IconResources() const { return resources_; }
  void setIconResources(const QStringList& names);
  int IconIndex() const { return iconIndex_; }
  void setIconIndex(int index);
  QMenu* PopupMenu() const { return menu_; }
  void setPopupMenu(QMenu* menu) { menu_ = menu; }
  QString Tip() const { return tip_; }
  void setTip(const QString& tip);
  // Renaming follows into the tip until a tip is assigned.
  void setName(const QString& name);

  std::function<void(TmdTray&)> ShowMenu;
  std::function<void(TmdTray&)> SimpelFunction;
  std::function<void(TmdTray&)> DefaultFunction;

  TrayBackend& backend() { return *backend_; }

 signals:
  // The notification area went away or came back; `active` is Active() now.
  void activeChanged(bool active);

 private:
  QIcon currentIcon() const;
  void refresh();
  void clicked(TrayBackend::Click click);
  void availabilityChanged();

  std::unique_ptr<TrayBackend> backend_;
  bool active_ = true;
  QIcon icon_;
  QStringList resources_{QStringLiteral("MAINICON")};
  int iconIndex_ = 0;
  QPointer<QMenu> menu_;
  QString tip_;
  bool tipAssigned_ = false;
};

}  // namespace orvane::ui
