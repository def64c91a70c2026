// The app's face in GTK 3: a StatusNotifier tray item (libayatana-appindicator3) whose
// menu is rebuilt from the controller's items, a pairing window that draws the pairing URL
// as a QR code (libqrencode, level M, scaled to fit its 260-pixel view), and modal dialogs.
#include "app/gtk/GtkApp.h"
#include "x11/X11Clients.h"

#include <gdk/gdkx.h>
#include <gtk/gtk.h>
#include <libayatana-appindicator/app-indicator.h>
#include <libdbusmenu-glib/menuitem.h>
#include <libdbusmenu-glib/server.h>
#include <qrencode.h>

#include <algorithm>
#include <memory>

namespace tovo {

bool initGtk() { return gtk_init_check(nullptr, nullptr) == TRUE; }

namespace {

constexpr int qrView = 260;        // the image view's side
constexpr int qrQuietModules = 4;  // the white margin scanners need

// A QR code of `text` as a pixbuf: black modules on white, as many whole pixels a module as
// fit the view (whole pixels keep the modules sharp for cameras), at least one.
GdkPixbuf* qrPicture(const std::string& text) {
    QRcode* code = QRcode_encodeString(text.c_str(), 0, QR_ECLEVEL_M, QR_MODE_8, 1);
    if (!code) return nullptr;
    const int modules = code->width + 2 * qrQuietModules;
    const int qrScale = std::max(1, qrView / modules);
    const int size = modules * qrScale;
    GdkPixbuf* picture = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, size, size);
    gdk_pixbuf_fill(picture, 0xFFFFFFFF);
    guchar* pixels = gdk_pixbuf_get_pixels(picture);
    const int stride = gdk_pixbuf_get_rowstride(picture);
    for (int y = 0; y < code->width; ++y) {
        for (int x = 0; x < code->width; ++x) {
            if (!(code->data[y * code->width + x] & 1)) continue;
            for (int dy = 0; dy < qrScale; ++dy) {
                guchar* row =
                    pixels + ((y + qrQuietModules) * qrScale + dy) * stride + (x + qrQuietModules) * qrScale * 3;
                std::fill(row, row + qrScale * 3, 0);
            }
        }
    }
    QRcode_free(code);
    return picture;
}

// Marks a top-level window as one of the app's, which the service it supervises treats as
// its own: in none of its pictures, streams or window lists (the pairing window shows a
// live pairing code).
void markOwn(GtkWidget* window) {
    gtk_widget_realize(window);
    GdkWindow* gdk = gtk_widget_get_window(window);
    if (!gdk || !GDK_IS_X11_WINDOW(gdk)) return;
    const long one = 1;  // 32-bit property items are passed as longs
    gdk_property_change(gdk, gdk_atom_intern_static_string(x11::supervisorMarkProperty),
                        gdk_atom_intern_static_string("CARDINAL"), 32, GDK_PROP_MODE_REPLACE,
                        reinterpret_cast<const guchar*>(&one), 1);
}

class GtkAppUI final : public AppUI {
public:
    GtkAppUI() {
        indicator = app_indicator_new("tovo-control", "video-display", APP_INDICATOR_CATEGORY_APPLICATION_STATUS);
        app_indicator_set_status(indicator, APP_INDICATOR_STATUS_ACTIVE);
        menu = gtk_menu_new();
        g_signal_connect(menu, "show",
                         G_CALLBACK(+[](GtkWidget*, gpointer self) { static_cast<GtkAppUI*>(self)->menuOpened(); }),
                         this);
        app_indicator_set_menu(indicator, GTK_MENU(menu));
        watchMenuOpening();
        // The icon shows only where a StatusNotifier host runs.
        trayWatch = g_bus_watch_name(
            G_BUS_TYPE_SESSION, "org.kde.StatusNotifierWatcher", G_BUS_NAME_WATCHER_FLAGS_NONE,
            +[](GDBusConnection*, const gchar*, const gchar*, gpointer self) {
                auto* ui = static_cast<GtkAppUI*>(self);
                if (ui->onTrayHost) ui->onTrayHost(true);
            },
            +[](GDBusConnection*, const gchar*, gpointer self) {
                auto* ui = static_cast<GtkAppUI*>(self);
                if (ui->onTrayHost) ui->onTrayHost(false);
            },
            this, nullptr);
    }

    ~GtkAppUI() override {
        if (trayWatch) g_bus_unwatch_name(trayWatch);
        if (window) gtk_widget_destroy(window);
        if (watchedRoot) {
            g_signal_handlers_disconnect_by_data(watchedRoot, this);
            g_object_unref(watchedRoot);
        }
        g_object_unref(indicator);
    }

    void show(const std::string& icon, const std::string& tooltip, const std::vector<MenuItem>& items) override {
        if (icon != shownIcon) {
            app_indicator_set_icon_full(indicator, icon.c_str(), "Tovo Control");
            shownIcon = icon;
        }
        app_indicator_set_title(indicator, tooltip.c_str());
        if (items == shownItems) return;  // the exported menu changes only when it must
        shownItems = items;
        GList* children = gtk_container_get_children(GTK_CONTAINER(menu));
        for (GList* c = children; c; c = c->next) gtk_widget_destroy(GTK_WIDGET(c->data));
        g_list_free(children);
        filling = true;
        fill(menu, items);
        filling = false;
        gtk_widget_show_all(menu);
        watchMenuOpening();
    }

    void showPairing(const PairingView& view, const std::string& windowTitle) override {
        if (!window) build(windowTitle);
        gtk_label_set_text(GTK_LABEL(title), view.title.c_str());
        gtk_label_set_text(GTK_LABEL(detail), view.detail.c_str());
        gtk_button_set_label(GTK_BUTTON(button), view.buttonTitle.c_str());
        if (view.check) {
            gtk_image_set_from_icon_name(GTK_IMAGE(image), "emblem-ok-symbolic", GTK_ICON_SIZE_DIALOG);
            gtk_image_set_pixel_size(GTK_IMAGE(image), 128);
            shownURL.clear();
        } else if (!view.qr) {
            gtk_image_clear(GTK_IMAGE(image));
            shownURL.clear();
        } else if (*view.qr != shownURL) {
            GdkPixbuf* picture = qrPicture(*view.qr);
            gtk_image_set_from_pixbuf(GTK_IMAGE(image), picture);
            if (picture) g_object_unref(picture);
            shownURL = *view.qr;
        }
        // The browser link beside it, with the key's fingerprint to compare in the browser.
        const bool web = view.webQr && !view.check;
        gtk_widget_set_visible(webBox, web);
        if (web && *view.webQr != shownWebURL) {
            GdkPixbuf* picture = qrPicture(*view.webQr);
            gtk_image_set_from_pixbuf(GTK_IMAGE(webImage), picture);
            if (picture) g_object_unref(picture);
            shownWebURL = *view.webQr;
        }
        if (web) {
            gtk_label_set_text(GTK_LABEL(webCaption), (view.webCaption + "\n" + view.fingerprint).c_str());
        } else {
            shownWebURL.clear();
        }
    }

    void presentPairing() override {
        if (window) gtk_window_present(GTK_WINDOW(window));
    }

    void closePairing() override {
        if (window) gtk_widget_destroy(window);  // "destroy" reports the closing
    }

    bool confirm(const std::string& message, const std::string& detailText, const std::string& yes,
                 const std::string& no) override {
        GtkWidget* dialog = gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, GTK_MESSAGE_WARNING, GTK_BUTTONS_NONE,
                                                   "%s", message.c_str());
        gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s", detailText.c_str());
        gtk_dialog_add_button(GTK_DIALOG(dialog), yes.c_str(), GTK_RESPONSE_ACCEPT);
        gtk_dialog_add_button(GTK_DIALOG(dialog), no.c_str(), GTK_RESPONSE_CANCEL);
        gtk_window_set_keep_above(GTK_WINDOW(dialog), TRUE);
        markOwn(dialog);
        int answer = gtk_dialog_run(GTK_DIALOG(dialog));
        gtk_widget_destroy(dialog);
        return answer == GTK_RESPONSE_ACCEPT;
    }

    void alert(const std::string& message) override {
        GtkWidget* dialog =
            gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, GTK_MESSAGE_ERROR, GTK_BUTTONS_OK, "%s", message.c_str());
        markOwn(dialog);
        gtk_dialog_run(GTK_DIALOG(dialog));
        gtk_widget_destroy(dialog);
    }

    void open(const std::string& path) override {
        gchar* uri = g_filename_to_uri(path.c_str(), nullptr, nullptr);
        if (uri) g_app_info_launch_default_for_uri(uri, nullptr, nullptr);
        g_free(uri);
    }

private:
    // A tray host opens the exported menu itself: it asks the menu's root "about-to-show"
    // and sends it "opened" (GTK's own "show" is only for menus GTK pops up). The root is
    // the indicator's menu server's; it is looked for again whenever the menu is rebuilt.
    void watchMenuOpening() {
        DbusmenuServer* server = nullptr;
        g_object_get(indicator, "dbus-menu-server", &server, nullptr);
        if (!server) return;
        DbusmenuMenuitem* root = nullptr;
        g_object_get(server, DBUSMENU_SERVER_PROP_ROOT_NODE, &root, nullptr);
        g_object_unref(server);
        if (!root || root == watchedRoot) {
            if (root) g_object_unref(root);
            return;
        }
        if (watchedRoot) {
            g_signal_handlers_disconnect_by_data(watchedRoot, this);
            g_object_unref(watchedRoot);
        }
        watchedRoot = root;  // keeps the reference
        g_signal_connect(root, DBUSMENU_MENUITEM_SIGNAL_ABOUT_TO_SHOW,
                         G_CALLBACK(+[](DbusmenuMenuitem*, gpointer self) -> gboolean {
                             static_cast<GtkAppUI*>(self)->menuOpened();
                             return FALSE;
                         }),
                         this);
        g_signal_connect(root, DBUSMENU_MENUITEM_SIGNAL_EVENT,
                         G_CALLBACK(+[](DbusmenuMenuitem*, gchar* name, GVariant*, guint, gpointer self) -> gboolean {
                             if (g_strcmp0(name, DBUSMENU_MENUITEM_EVENT_OPENED) == 0)
                                 static_cast<GtkAppUI*>(self)->menuOpened();
                             return FALSE;
                         }),
                         this);
    }

    // A host sends both of its opening calls at once: they count as one opening.
    void menuOpened() {
        const gint64 now = g_get_monotonic_time();
        if (now - lastOpened < 50000) return;
        lastOpened = now;
        if (onMenuOpened) onMenuOpened();
    }

    struct Choice {
        GtkAppUI* ui;
        std::string action;
        std::string argument;
    };

    void fill(GtkWidget* into, const std::vector<MenuItem>& items) {
        for (const auto& item : items) {
            GtkWidget* widget;
            if (item.separator) {
                widget = gtk_separator_menu_item_new();
            } else if (item.checked || item.action == "toggleRemote" || item.action == "toggleLoginItem") {
                widget = gtk_check_menu_item_new_with_label(item.title.c_str());
                gtk_check_menu_item_set_active(GTK_CHECK_MENU_ITEM(widget), item.checked);
            } else {
                widget = gtk_menu_item_new_with_label(item.title.c_str());
            }
            gtk_widget_set_sensitive(widget, item.enabled);
            if (!item.submenu.empty()) {
                GtkWidget* sub = gtk_menu_new();
                fill(sub, item.submenu);
                gtk_menu_item_set_submenu(GTK_MENU_ITEM(widget), sub);
            } else if (!item.action.empty()) {
                auto* choice = new Choice{this, item.action, item.argument};
                g_signal_connect_data(
                    widget, "activate", G_CALLBACK(+[](GtkWidget*, gpointer data) {
                        auto* c = static_cast<Choice*>(data);
                        // Setting a check item's state from show() must not act.
                        if (c->ui->filling) return;
                        if (c->ui->onAction) c->ui->onAction(c->action, c->argument);
                    }),
                    choice, [](gpointer data, GClosure*) { delete static_cast<Choice*>(data); }, GConnectFlags(0));
            }
            gtk_menu_shell_append(GTK_MENU_SHELL(into), widget);
        }
    }

    void build(const std::string& windowTitle) {
        window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
        gtk_window_set_title(GTK_WINDOW(window), windowTitle.c_str());
        gtk_window_set_default_size(GTK_WINDOW(window), 360, 470);
        gtk_window_set_keep_above(GTK_WINDOW(window), TRUE);
        gtk_window_set_position(GTK_WINDOW(window), GTK_WIN_POS_CENTER);
        GtkWidget* stack = gtk_box_new(GTK_ORIENTATION_VERTICAL, 14);
        gtk_widget_set_margin_top(stack, 20);
        gtk_widget_set_margin_bottom(stack, 20);
        gtk_widget_set_margin_start(stack, 24);
        gtk_widget_set_margin_end(stack, 24);
        title = gtk_label_new("");
        PangoAttrList* big = pango_attr_list_new();
        pango_attr_list_insert(big, pango_attr_scale_new(15.0 / 12.0));
        gtk_label_set_attributes(GTK_LABEL(title), big);
        pango_attr_list_unref(big);
        image = gtk_image_new();
        gtk_widget_set_size_request(image, qrView, qrView);
        webImage = gtk_image_new();
        gtk_widget_set_size_request(webImage, qrView, qrView);
        webCaption = gtk_label_new("");
        gtk_label_set_justify(GTK_LABEL(webCaption), GTK_JUSTIFY_CENTER);
        gtk_label_set_selectable(GTK_LABEL(webCaption), TRUE);
        webBox = gtk_box_new(GTK_ORIENTATION_VERTICAL, 6);
        gtk_box_pack_start(GTK_BOX(webBox), webImage, FALSE, FALSE, 0);
        gtk_box_pack_start(GTK_BOX(webBox), webCaption, FALSE, FALSE, 0);
        GtkWidget* codes = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 18);
        gtk_widget_set_halign(codes, GTK_ALIGN_CENTER);
        gtk_box_pack_start(GTK_BOX(codes), image, FALSE, FALSE, 0);
        gtk_box_pack_start(GTK_BOX(codes), webBox, FALSE, FALSE, 0);
        detail = gtk_label_new("");
        gtk_label_set_line_wrap(GTK_LABEL(detail), TRUE);
        gtk_label_set_justify(GTK_LABEL(detail), GTK_JUSTIFY_CENTER);
        gtk_widget_set_size_request(detail, 300, -1);
        gtk_style_context_add_class(gtk_widget_get_style_context(detail), "dim-label");
        button = gtk_button_new_with_label("");
        gtk_widget_set_halign(button, GTK_ALIGN_CENTER);
        for (GtkWidget* w : {title, codes, detail, button}) gtk_box_pack_start(GTK_BOX(stack), w, FALSE, FALSE, 0);
        gtk_container_add(GTK_CONTAINER(window), stack);
        g_signal_connect(button, "clicked", G_CALLBACK(+[](GtkWidget*, gpointer self) {
                             auto* ui = static_cast<GtkAppUI*>(self);
                             if (ui->onPairingButton) ui->onPairingButton();
                         }),
                         this);
        g_signal_connect(window, "destroy", G_CALLBACK(+[](GtkWidget*, gpointer self) {
                             auto* ui = static_cast<GtkAppUI*>(self);
                             ui->window = nullptr;
                             ui->shownURL.clear();
                             ui->shownWebURL.clear();
                             if (ui->onPairingClosed) ui->onPairingClosed();
                         }),
                         this);
        markOwn(window);
        gtk_widget_show_all(window);
        gtk_window_present(GTK_WINDOW(window));
    }

    AppIndicator* indicator = nullptr;
    GtkWidget* menu = nullptr;
    DbusmenuMenuitem* watchedRoot = nullptr;  // the exported menu's root, referenced
    guint trayWatch = 0;
    gint64 lastOpened = G_MININT64 / 2;
    std::string shownIcon;
    std::vector<MenuItem> shownItems;
    bool filling = false;
    GtkWidget* window = nullptr;
    GtkWidget* title = nullptr;
    GtkWidget* image = nullptr;
    GtkWidget* webBox = nullptr;  // the browser link's QR code and its caption
    GtkWidget* webImage = nullptr;
    GtkWidget* webCaption = nullptr;
    GtkWidget* detail = nullptr;
    GtkWidget* button = nullptr;
    std::string shownURL;
    std::string shownWebURL;
};

}  // namespace

std::unique_ptr<AppUI> makeGtkAppUI() { return std::make_unique<GtkAppUI>(); }

}  // namespace tovo
