// The staff view's engraver, in a worker of its own: Verovio (WebAssembly)
// turns the page's MusicXML into SVG, one page after another, keeping the
// ids the notes and measures carry back to the text. Loaded the first time
// the view opens; the page never waits on it while the user types.
import createVerovioModule from 'verovio/wasm';
import { VerovioToolkit } from 'verovio/esm';

const toolkit = createVerovioModule().then((module) => new VerovioToolkit(module));
const SCALE = 40;  // per cent of Verovio's own size

self.onmessage = async (event) => {
  const { id, musicxml, width } = event.data;
  try {
    const engraver = await toolkit;
    const started = performance.now();
    engraver.setOptions({
      scale: SCALE,
      pageWidth: Math.max(800, Math.round((width * 100) / SCALE)),
      pageMarginLeft: 40,
      pageMarginRight: 40,
      pageMarginTop: 40,
      adjustPageHeight: true,
      breaks: 'auto',
      header: 'none',
      footer: 'none',
      svgHtml5: true,
      svgViewBox: true,
    });
    if (!engraver.loadData(musicxml)) throw new Error('Verovio could not read the MusicXML');
    const pages = [];
    for (let n = 1; n <= engraver.getPageCount(); ++n) pages.push(engraver.renderToSVG(n));
    self.postMessage({ id, pages, ms: performance.now() - started });
  } catch (error) {
    self.postMessage({ id, error: String(error && error.message ? error.message : error) });
  }
};
