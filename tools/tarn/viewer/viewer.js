// The slide viewer of `tarn serve`: OpenSeadragon on the slide's Deep Zoom pyramid, with an
// overview, a scale bar from the slide's microns per pixel, its associated images and properties.
"use strict";

(function () {
    const config = JSON.parse(document.getElementById("config").textContent);

    const viewer = OpenSeadragon({
        id: "view",
        prefixUrl: "/static/images/",
        tileSources: config.dzi,
        drawer: "canvas",
        showNavigator: true,
        navigatorPosition: "TOP_RIGHT",
        navigatorAutoFade: false,
        showRotationControl: false,
        maxZoomPixelRatio: 2,
        visibilityRatio: 0.5,
        animationTime: 0.6,
        gestureSettingsMouse: { clickToZoom: false },
    });
    // For tests and scripts: the viewer, and whether every tile of the current view is drawn.
    window.tarnViewer = viewer;
    window.tarnFullyLoaded = false;
    viewer.addHandler("fully-loaded-change", (event) => {
        window.tarnFullyLoaded = event.fullyLoaded;
    });

    // ---- Scale bar and magnification ----
    let micronsPerPixel = 0;
    let objectivePower = 0;
    const scaleBar = document.createElement("div");
    scaleBar.className = "scalebar";
    scaleBar.hidden = true;
    const bar = document.createElement("div");
    bar.className = "bar";
    const barLabel = document.createElement("span");
    scaleBar.append(bar, barLabel);
    viewer.addControl(scaleBar, { anchor: OpenSeadragon.ControlAnchor.BOTTOM_LEFT, autoFade: false });
    const magnification = document.getElementById("magnification");

    // The largest 1, 2 or 5 times a power of ten not above `value`.
    function roundLength(value) {
        const power = Math.pow(10, Math.floor(Math.log10(value)));
        for (const step of [5, 2, 1]) {
            if (step * power <= value) return step * power;
        }
        return power;
    }

    function formatLength(microns) {
        if (microns >= 1000) return microns / 1000 + " mm";
        if (microns >= 1) return microns + " \u00b5m";
        return microns * 1000 + " nm";
    }

    function updateScale() {
        const item = viewer.world.getItemAt(0);
        if (!item) return;
        // Screen pixels per slide pixel at level 0.
        const zoom = item.viewportToImageZoom(viewer.viewport.getZoom(true));
        if (objectivePower > 0) {
            magnification.textContent = (objectivePower * zoom).toFixed(1) + "\u00d7";
        }
        if (!(micronsPerPixel > 0) || !(zoom > 0)) return;
        const length = roundLength((160 * micronsPerPixel) / zoom);
        bar.style.width = Math.round((length * zoom) / micronsPerPixel) + "px";
        barLabel.textContent = formatLength(length);
        scaleBar.hidden = false;
    }
    for (const event of ["open", "animation", "resize", "update-viewport"]) {
        viewer.addHandler(event, updateScale);
    }

    // ---- Associated images ----
    const images = document.getElementById("images");
    for (const image of config.images) {
        if (image.name === "thumbnail") continue;
        const figure = document.createElement("figure");
        const link = document.createElement("a");
        link.href = image.url;
        link.target = "_blank";
        const picture = document.createElement("img");
        picture.src = image.url;
        picture.alt = image.name;
        link.append(picture);
        const caption = document.createElement("figcaption");
        caption.textContent = image.name;
        figure.append(link, caption);
        images.append(figure);
    }

    // ---- Properties ----
    const table = document.getElementById("properties");
    const filter = document.getElementById("filter");
    function showProperties(properties) {
        const rows = Object.keys(properties).sort().map((name) => {
            const row = document.createElement("tr");
            const key = document.createElement("td");
            key.textContent = name;
            const value = document.createElement("td");
            value.textContent = properties[name];
            row.append(key, value);
            return row;
        });
        table.replaceChildren(...rows);
        filter.addEventListener("input", () => {
            const wanted = filter.value.toLowerCase();
            for (const row of rows) {
                row.hidden = wanted !== "" && !row.textContent.toLowerCase().includes(wanted);
            }
        });
    }
    fetch(config.properties)
        .then((response) => (response.ok ? response.json() : Promise.reject(response.status)))
        .then((slide) => {
            micronsPerPixel = parseFloat(slide.properties["openslide.mpp-x"]);
            objectivePower = parseFloat(slide.properties["openslide.objective-power"]);
            showProperties(slide.properties);
            updateScale();
        })
        .catch((status) => {
            table.textContent = "The properties could not be loaded (" + status + ").";
        });
})();
