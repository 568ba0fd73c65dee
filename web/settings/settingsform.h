// The form step every settings page shares: take a submitted form into
// the parameters, commit it, save it and tell the running services.
#ifndef WEB_SETTINGS_SETTINGSFORM_H
#define WEB_SETTINGS_SETTINGSFORM_H

#include <cstdint>

class HttpRequest;

// The form step. Without "action" = "set", or when no field was taken,
// the page is only shown (1). Fields whose value a parameter refused are
// named in "ErrMsg" (the page shows their stored values). A change that
// needs a reboot answers with the restart's wait page; otherwise
// "HeadInfo" tells of the change and a restart-class change goes to every
// task as MSG_PARAMS_CHANGED. beforeCommit (optional) runs after the form
// was taken and before the commit. A handler result; 1 shows the page.
int runSettingsForm(HttpRequest& request, void (*beforeCommit)() = nullptr);

// The model's feature bits (`sw_features`).
uint32_t modelFeatureBits();

#endif
