// svn's questions as dialogs: asked from a worker thread, answered on the
// main thread, while the worker waits. Each is attached to the window of the
// command that asked, so a window manager keeps it over that window.
#include <future>
#include <memory>

#include "korvane-app/work/settings.h"
#include "windows.h"

namespace windows {

namespace {

GtkWidget* dialogBox(GtkWidget* window) {
  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 8);
  gtk_widget_set_margin_start(box, 12);
  gtk_widget_set_margin_end(box, 12);
  gtk_widget_set_margin_top(box, 12);
  gtk_widget_set_margin_bottom(box, 12);
  gtk_window_set_child(GTK_WINDOW(window), box);
  return box;
}

GtkWidget* wrapped(const std::string& text) {
  GtkWidget* label = gtk_label_new(text.c_str());
  gtk_label_set_wrap(GTK_LABEL(label), TRUE);
  gtk_label_set_xalign(GTK_LABEL(label), 0);
  return label;
}

void labelled(GtkWidget* widget, const char* name) {
  gtk_accessible_update_property(GTK_ACCESSIBLE(widget), GTK_ACCESSIBLE_PROPERTY_LABEL, name, -1);
}

// Answers the waiting worker once: by a button, or with `declined` when the
// window goes away unanswered.
template <typename Answer>
struct Pending {
  std::promise<Answer> promise;
  Answer declined;
  bool answered = false;
  void answer(Answer value) {
    if (answered) return;
    answered = true;
    promise.set_value(std::move(value));
  }
};

template <typename Answer>
Answer askOnMainThread(Answer declined, std::function<void(std::shared_ptr<Pending<Answer>>)> show) {
  auto pending = std::make_shared<Pending<Answer>>();
  pending->declined = declined;
  auto future = pending->promise.get_future();
  onMainThread([pending, show] { show(pending); });
  return future.get();
}

template <typename Answer>
void answerOnClose(GtkWidget* window, std::shared_ptr<Pending<Answer>> pending) {
  auto* held = new std::shared_ptr<Pending<Answer>>(pending);
  g_signal_connect_data(
      window, "destroy",
      G_CALLBACK(+[](GtkWidget*, gpointer data) {
        auto& p = *static_cast<std::shared_ptr<Pending<Answer>>*>(data);
        p->answer(p->declined);
      }),
      held, [](gpointer data, GClosure*) { delete static_cast<std::shared_ptr<Pending<Answer>>*>(data); },
      GConnectFlags(0));
}

// The command's window, held weakly: it may close while svn waits for an answer.
using Owner = std::shared_ptr<GWeakRef>;

Owner weakly(GtkWidget* window) {
  Owner owner(new GWeakRef, [](GWeakRef* ref) {
    g_weak_ref_clear(ref);
    delete ref;
  });
  g_weak_ref_init(owner.get(), window);
  return owner;
}

GtkWidget* newDialog(const std::string& title, int width, const Owner& owner) {
  GtkWidget* dialog = newWindow(title, width, -1);
  gtk_window_set_modal(GTK_WINDOW(dialog), TRUE);
  if (gpointer window = g_weak_ref_get(owner.get())) {
    if (gtk_widget_get_visible(GTK_WIDGET(window)))
      gtk_window_set_transient_for(GTK_WINDOW(dialog), GTK_WINDOW(window));
    g_object_unref(window);
  }
  return dialog;
}

using PasswordAnswer = std::optional<svnclient::Credentials>;

void showPasswordDialog(const std::string& realm, const std::string& username, bool maySave, const Owner& owner,
                        std::shared_ptr<Pending<PasswordAnswer>> pending) {
  GtkWidget* window = newDialog("Authentication", 420, owner);
  GtkWidget* box = dialogBox(window);
  gtk_box_append(GTK_BOX(box), wrapped("The server asks for a user name and password:\n" + realm));
  GtkWidget* user = gtk_entry_new();
  gtk_editable_set_text(GTK_EDITABLE(user), username.c_str());
  labelled(user, "User name");
  GtkWidget* password = gtk_password_entry_new();
  labelled(password, "Password");
  gtk_box_append(GTK_BOX(box), gtk_label_new("User name"));
  gtk_box_append(GTK_BOX(box), user);
  gtk_box_append(GTK_BOX(box), gtk_label_new("Password"));
  gtk_box_append(GTK_BOX(box), password);
  GtkWidget* remember = gtk_check_button_new_with_label("Remember in the keyring");
  gtk_widget_set_sensitive(remember, maySave);
  gtk_box_append(GTK_BOX(box), remember);
  GtkWidget* row = buttonRow();
  GtkWidget* cancel = gtk_button_new_with_label("Cancel");
  GtkWidget* login = gtk_button_new_with_label("Log In");
  gtk_box_append(GTK_BOX(row), cancel);
  gtk_box_append(GTK_BOX(row), login);
  gtk_box_append(GTK_BOX(box), row);
  answerOnClose(window, pending);
  g_signal_connect_swapped(cancel, "clicked", G_CALLBACK(gtk_window_destroy), window);
  struct Fields {
    GtkWidget *window, *user, *password, *remember;
    std::shared_ptr<Pending<PasswordAnswer>> pending;
  };
  auto* fields = new Fields{window, user, password, remember, pending};
  g_signal_connect_data(
      login, "clicked", G_CALLBACK(+[](GtkButton*, gpointer data) {
        auto* f = static_cast<Fields*>(data);
        f->pending->answer(svnclient::Credentials{gtk_editable_get_text(GTK_EDITABLE(f->user)),
                                                  gtk_editable_get_text(GTK_EDITABLE(f->password)),
                                                  gtk_check_button_get_active(GTK_CHECK_BUTTON(f->remember)) != 0});
        gtk_window_destroy(GTK_WINDOW(f->window));
      }),
      fields, [](gpointer data, GClosure*) { delete static_cast<Fields*>(data); }, GConnectFlags(0));
  gtk_window_set_default_widget(GTK_WINDOW(window), login);
  present(window, "");
  gtk_widget_grab_focus(username.empty() ? user : password);
}

using CertificateAnswer = svnclient::CertificateAnswer;

// A row of the certificate's facts: its name, then the value as a label of
// its own, so that a screen reader (and the window test) reads each apart.
void factRow(GtkWidget* grid, int row, const char* name, const std::string& value) {
  GtkWidget* title = gtk_label_new(name);
  gtk_label_set_xalign(GTK_LABEL(title), 0);
  gtk_label_set_yalign(GTK_LABEL(title), 0);
  gtk_widget_add_css_class(title, "dim-label");
  // Wrapped for a long issuer or list of names; as wide as a fingerprint
  // first, or the window is sized for a narrow column and stays too tall.
  GtkWidget* text = wrapped(value);
  gtk_label_set_wrap_mode(GTK_LABEL(text), PANGO_WRAP_WORD_CHAR);
  gtk_label_set_width_chars(GTK_LABEL(text), 60);
  gtk_widget_set_hexpand(text, TRUE);
  gtk_grid_attach(GTK_GRID(grid), title, 0, row, 1, 1);
  gtk_grid_attach(GTK_GRID(grid), text, 1, row, 1, 1);
}

void showCertificateDialog(const svnclient::Certificate& certificate, bool maySave, const Owner& owner,
                           std::shared_ptr<Pending<CertificateAnswer>> pending) {
  GtkWidget* window = newDialog("Server Certificate", 600, owner);
  GtkWidget* box = dialogBox(window);
  gtk_box_append(GTK_BOX(box), wrapped("The certificate of the server cannot be verified. Accept it only if its "
                                       "fingerprint is the one the server's administrator gave you."));
  std::string problems;
  for (const auto& problem : certificate.problems) problems += (problems.empty() ? "" : "\n") + ("• " + problem);
  GtkWidget* grid = gtk_grid_new();
  gtk_grid_set_row_spacing(GTK_GRID(grid), 4);
  gtk_grid_set_column_spacing(GTK_GRID(grid), 12);
  // svn's realm for a server certificate is the server's scheme, host and
  // port: what the user asked to reach, set above the name the certificate
  // is for, so that a mismatch can be judged.
  factRow(grid, 0, "Server", certificate.realm);
  factRow(grid, 1, "Certificate for", certificate.hostname);
  factRow(grid, 2, "Problems", problems);
  factRow(grid, 3, "Issued by", certificate.issuer);
  factRow(grid, 4, "Valid", "from " + certificate.validFrom + "\nuntil " + certificate.validUntil);
  factRow(grid, 5, "Fingerprint (SHA-1)", certificate.fingerprint);
  gtk_box_append(GTK_BOX(box), grid);
  GtkWidget* row = buttonRow();
  struct Choice {
    const char* title;
    CertificateAnswer answer;
  };
  std::vector<Choice> choices = {{"Reject", CertificateAnswer::Reject}, {"Accept Once", CertificateAnswer::AcceptOnce}};
  if (maySave) choices.push_back({"Accept Permanently", CertificateAnswer::AcceptPermanently});
  answerOnClose(window, pending);
  GtkWidget* reject = nullptr;
  for (const auto& choice : choices) {
    GtkWidget* button = gtk_button_new_with_label(choice.title);
    if (reject == nullptr) reject = button;
    gtk_box_append(GTK_BOX(row), button);
    struct Click {
      GtkWidget* window;
      CertificateAnswer answer;
      std::shared_ptr<Pending<CertificateAnswer>> pending;
    };
    g_signal_connect_data(
        button, "clicked", G_CALLBACK(+[](GtkButton*, gpointer data) {
          auto* click = static_cast<Click*>(data);
          click->pending->answer(click->answer);
          gtk_window_destroy(GTK_WINDOW(click->window));
        }),
        new Click{window, choice.answer, pending}, [](gpointer data, GClosure*) { delete static_cast<Click*>(data); },
        GConnectFlags(0));
  }
  gtk_box_append(GTK_BOX(box), row);
  gtk_window_set_default_widget(GTK_WINDOW(window), reject);
  present(window, "");
}

}  // namespace

svnclient::Session sessionFor(GtkWidget* window) {
  svnclient::Session session = appwork::baseSession();
  const Owner owner = weakly(window);
  session.askPassword = [owner](const std::string& realm, const std::string& username, bool maySave) {
    return askOnMainThread<PasswordAnswer>(std::nullopt, [=](auto pending) {
      showPasswordDialog(realm, username, maySave, owner, pending);
    });
  };
  session.askCertificate = [owner](const svnclient::Certificate& certificate, bool maySave) {
    return askOnMainThread<CertificateAnswer>(CertificateAnswer::Reject, [=](auto pending) {
      showCertificateDialog(certificate, maySave, owner, pending);
    });
  };
  return session;
}

}  // namespace windows
