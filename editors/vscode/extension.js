// A thin client of `quarvelcd --lsp`: the server does the work; this starts
// it, forwards the play, stop and export commands, and shows the bar that
// sounds in the status bar and in the editor.
"use strict";
const vscode = require("vscode");
const { LanguageClient } = require("vscode-languageclient/node");

let client;
let status;
let sounding;

function settings() {
  const c = vscode.workspace.getConfiguration("quarvel");
  return { pitchNames: c.get("pitchNames"), warn: c.get("warn") || undefined, noWarn: c.get("noWarn") || undefined };
}

async function execute(command, args) {
  try {
    return await client.sendRequest("workspace/executeCommand", { command, arguments: args });
  } catch (error) {
    vscode.window.showErrorMessage(String(error.message || error));
    return undefined;
  }
}

function activate(context) {
  const program = vscode.workspace.getConfiguration("quarvel").get("server.path") || "quarvelcd";
  client = new LanguageClient(
    "quarvel",
    "Quarvel language server",
    { command: program, args: ["--lsp"] },
    {
      documentSelector: [{ language: "quarvel" }],
      initializationOptions: settings(),
      synchronize: { configurationSection: "quarvel" },
    },
  );

  status = vscode.window.createStatusBarItem(vscode.StatusBarAlignment.Left, 100);
  status.command = "quarvel.stopPlaying";
  status.tooltip = "Playing: click to stop";
  sounding = vscode.window.createTextEditorDecorationType({
    backgroundColor: new vscode.ThemeColor("editor.rangeHighlightBackground"),
    isWholeLine: false,
  });
  context.subscriptions.push(status, sounding);

  context.subscriptions.push(
    vscode.commands.registerCommand("quarvel.playFromCursor", async () => {
      const editor = vscode.window.activeTextEditor;
      if (!editor) return;
      await execute("quarvel.play", [editor.document.uri.toString(), editor.selection.active]);
    }),
    vscode.commands.registerCommand("quarvel.stopPlaying", () => execute("quarvel.stop", [])),
    vscode.commands.registerCommand("quarvel.exportScore", async () => {
      const editor = vscode.window.activeTextEditor;
      if (!editor) return;
      await editor.document.save();
      const result = await execute("quarvel.export", [editor.document.uri.toString()]);
      if (result) vscode.window.showInformationMessage("Exported " + result.files.join(", "));
    }),
  );

  client.start().then(() => {
    context.subscriptions.push(client.onNotification("quarvel/playing", (params) => {
      const editor = vscode.window.visibleTextEditors.find((e) => e.document.uri.toString() === params.uri);
      if (!params.playing) {
        status.hide();
        if (editor) editor.setDecorations(sounding, []);
        return;
      }
      status.text = "$(play) bar " + (params.bar ?? "") + (params.part ? " \u00b7 part " + params.part : "");
      status.show();
      if (editor && params.range) {
        const r = params.range;
        editor.setDecorations(sounding, [new vscode.Range(r.start.line, r.start.character, r.end.line, r.end.character)]);
      }
    }));
  });
  context.subscriptions.push(client);
}

function deactivate() {
  return client ? client.stop() : undefined;
}

module.exports = { activate, deactivate };
