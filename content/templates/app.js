// Small conveniences only: every page works without this file.
// Values reach it through data- attributes, never through the script text.
(function () {
  "use strict";
  // A checkbox is preceded by a hidden "__key" = "off" field, so an
  // unchecked box still reaches the device; nothing to do here for that.
  // Mark a form's submit button busy once the form is sent, so a second
  // click does not post the same settings twice.
  document.addEventListener("submit", function (event) {
    var button = event.target.querySelector("#save");
    if (button) {
      setTimeout(function () { button.disabled = true; }, 0);
    }
  });
  // A network of the WLAN scan list fills the WLAN form. Its data-wlanset
  // holds "'ssid',encryption,adhoc,channel-1", the SSID written with \xHH
  // escapes; the text is parsed here, never run.
  document.addEventListener("click", function (event) {
    var el = event.target.closest ? event.target.closest("[data-wlanset]") : null;
    if (!el) {
      return;
    }
    var m = /^'((?:[^'\\]|\\x[0-9a-fA-F]{2})*)',(\d+),(\d+),(-?\d+)$/.exec(el.getAttribute("data-wlanset"));
    if (!m) {
      return;
    }
    var ssid = m[1].replace(/\\x([0-9a-fA-F]{2})/g, function (all, hex) {
      return String.fromCharCode(parseInt(hex, 16));
    });
    var set = function (id, apply) {
      var field = document.getElementById(id);
      if (field) {
        apply(field);
      }
    };
    set("wifi_name", function (f) { f.value = ssid; });
    set("wifi_encrypt", function (f) { f.selectedIndex = parseInt(m[2], 10); });
    set("wifi_mode", function (f) { f.value = m[3] === "1" ? "adhoc" : "infra"; });
    set("wifi_channel", function (f) { f.value = String(parseInt(m[4], 10) + 1); });
  });
  // Elements with data-confirm ask before they act.
  document.addEventListener("click", function (event) {
    var el = event.target.closest ? event.target.closest("[data-confirm]") : null;
    if (el && !window.confirm(el.getAttribute("data-confirm"))) {
      event.preventDefault();
    }
  });
})();
