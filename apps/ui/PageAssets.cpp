#include "apps/ui/PageAssets.h"

namespace app::ui {
namespace {

const char* const kStyle = R"CSS(
body { font: 14px/1.4 system-ui, sans-serif; margin: 1.5em; max-width: 44em; color: #222; }
h1 { font-size: 1.2em; }
.row { display: grid; grid-template-columns: 14em 1fr 4em; align-items: center; gap: .5em; margin: .25em 0; }
.row.check { grid-template-columns: 14em 1fr; }
.row.check label { grid-column: 2; }
.row.check input { grid-column: 1; justify-self: end; }
.row.button { grid-template-columns: 14em auto; }
.row.button button { grid-column: 2; justify-self: start; }
fieldset { border: 1px solid #bbb; margin: .75em 0; padding: .25em .75em; }
legend { font-weight: 600; }
input[type=text], input[type=password] { width: 100%; box-sizing: border-box; }
.value { font-variant-numeric: tabular-nums; }
.notice { background: #fff4d6; border: 1px solid #e0c060; padding: .5em; }
.actions { margin-top: 1em; display: flex; gap: 1em; align-items: center; }
body[data-dirty="1"] #apply { font-weight: 700; }
#message.bad { color: #b00; }
)CSS";

const char* const kScript = R"JS(
(function () {
  'use strict';
  var token = new URLSearchParams(location.search).get('token') || '';
  var typed = {};   // password fields the user typed into: only those are sent
  var timers = {};
  function byId(id) { return document.getElementById('c' + id); }
  function say(text, bad) {
    var m = document.getElementById('message');
    m.textContent = text;
    m.className = bad ? 'bad' : '';
  }
  function show(c) {
    var e = byId(c.id);
    if (!e) return;
    var kind = e.dataset.kind;
    if (kind === 'text') e.textContent = c.text;
    else if (kind === 'button') { if (c.text) e.textContent = c.text; }
    else if (kind === 'checkbox') { if (document.activeElement !== e) e.checked = c.checked; }
    else if (e.type === 'password') { if (!typed[c.id]) { e.value = ''; e.placeholder = c.set ? '(set)' : ''; } }
    else if (document.activeElement !== e) e.value = c.text;
  }
  function setDirty(d) { document.body.dataset.dirty = d ? '1' : '0'; }
  function post(path, body) {
    var headers = { 'Content-Type': 'application/json' };
    if (token) headers['X-QV-Token'] = token;
    return fetch(path, { method: 'POST', headers: headers, body: JSON.stringify(body) }).then(function (r) {
      return r.json().then(function (j) {
        if (!r.ok) throw new Error(j.error || r.statusText);
        return j;
      });
    });
  }
  function fail(x) { say(x.message, true); }
  document.querySelectorAll('[data-kind]').forEach(function (e) {
    var id = Number(e.id.slice(1));
    var kind = e.dataset.kind;
    if (kind === 'button') {
      e.addEventListener('click', function () { post('/ui/command', { id: id }).then(function () { say(''); }, fail); });
    } else if (kind === 'checkbox') {
      e.addEventListener('change', function () { post('/ui/command', { id: id, checked: e.checked }).catch(fail); });
    } else if (kind === 'edit') {
      e.addEventListener('input', function () {
        if (e.type === 'password') typed[id] = true;
        clearTimeout(timers[id]);
        timers[id] = setTimeout(function () { post('/ui/command', { id: id, text: e.value }).catch(fail); }, 250);
      });
    }
  });
  document.getElementById('apply').addEventListener('click', function () {
    var controls = {};
    document.querySelectorAll('[data-kind=edit],[data-kind=checkbox]').forEach(function (e) {
      var id = e.id.slice(1);
      if (e.dataset.kind === 'checkbox') controls[id] = e.checked;
      else if (e.type !== 'password' || typed[id]) controls[id] = e.value;
    });
    Object.keys(timers).forEach(function (k) { clearTimeout(timers[k]); });
    post('/ui/apply', { controls: controls }).then(function (s) {
      typed = {};
      s.controls.forEach(show);
      setDirty(s.dirty);
      say('Applied');
    }, fail);
  });
  var events = new EventSource('/ui/events' + (token ? '?token=' + encodeURIComponent(token) : ''));
  events.addEventListener('control', function (ev) { show(JSON.parse(ev.data)); });
  // Every burst of the stream ends with the dirty flag: the page then holds the whole state.
  events.addEventListener('dirty', function (ev) {
    setDirty(JSON.parse(ev.data).dirty);
    document.body.dataset.live = '1';
  });
})();
)JS";

std::string Escape(const std::string& s) {
    std::string out;
    for (char c : s) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string Control(const ::ui::ControlState& c) {
    const std::string id = "c" + std::to_string(c.id);
    const std::string label = Escape(c.label);
    const std::string unit = c.unit ? "<span class=\"unit\">" + Escape(*c.unit) + "</span>" : "<span></span>";
    switch (c.kind) {
    case ControlKind::Edit:
        return "<div class=\"row\"><label for=\"" + id + "\">" + label + "</label><input type=\"" +
               (c.password ? "password\" autocomplete=\"new-password" : "text") + "\" id=\"" + id +
               "\" data-kind=\"edit\" spellcheck=\"false\">" + unit + "</div>\n";
    case ControlKind::CheckBox:
        return "<div class=\"row check\"><input type=\"checkbox\" id=\"" + id + "\" data-kind=\"checkbox\"><label for=\"" + id +
               "\">" + label + "</label></div>\n";
    case ControlKind::Button:
        return "<div class=\"row button\"><span></span><button type=\"button\" id=\"" + id + "\" data-kind=\"button\">" +
               label + "</button></div>\n";
    case ControlKind::Text:
        return "<div class=\"row\"><span class=\"label\">" + label + "</span><span class=\"value\" id=\"" + id +
               "\" data-kind=\"text\"></span>" + unit + "</div>\n";
    }
    return {};
}

}  // namespace

std::string RenderPage(const std::string& title, const ::ui::DialogState& dialog, const std::string& notice) {
    std::string html = "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
                       "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\"><title>" +
                       Escape(title) + "</title><style>" + kStyle + "</style></head>\n<body data-live=\"0\" data-dirty=\"0\">\n<h1>" +
                       Escape(title) + "</h1>\n";
    if (!notice.empty()) html += "<p class=\"notice\" id=\"notice\">" + Escape(notice) + "</p>\n";
    html += "<form id=\"page\" autocomplete=\"off\">\n";
    // Items of one group follow each other in the template; each run of them gets its frame.
    const std::string* open = nullptr;
    for (const ::ui::ControlState& c : dialog.controls) {
        const std::string* group = c.group ? &*c.group : nullptr;
        if (open && (!group || *group != *open)) html += "</fieldset>\n", open = nullptr;
        if (group && !open) html += "<fieldset><legend>" + Escape(*group) + "</legend>\n", open = group;
        html += Control(c);
    }
    if (open) html += "</fieldset>\n";
    html += "</form>\n<div class=\"actions\"><button type=\"button\" id=\"apply\">Apply</button><span id=\"message\" "
            "role=\"status\"></span></div>\n<script>";
    html += kScript;
    html += "</script>\n</body></html>\n";
    return html;
}

}  // namespace app::ui
