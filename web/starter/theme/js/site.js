/* Starter theme: marks external links. */
(function () {
    var links = document.querySelectorAll('.qlr-page a[href^="http"]');
    for (var i = 0; i < links.length; i++)
        links[i].setAttribute('rel', 'noopener');
})();
