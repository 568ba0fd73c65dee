// Small conveniences only: every page works without this file.
// Values reach it through data- attributes, never through the script text.
(function () {
  "use strict";
  // A checkbox is followed by a hidden "__key" = "off" field, so an
  // unchecked box still reaches the device; nothing to do here for that.
  // Mark a form's submit button busy once the form is sent, so a second
  // click does not post the same settings twice.
  document.addEventListener("submit", function (event) {
    var button = event.target.querySelector("#save");
    if (button) {
      setTimeout(function () { button.disabled = true; }, 0);
    }
  });
  // Elements with data-confirm ask before they act.
  document.addEventListener("click", function (event) {
    var el = event.target.closest ? event.target.closest("[data-confirm]") : null;
    if (el && !window.confirm(el.getAttribute("data-confirm"))) {
      event.preventDefault();
    }
  });
})();
