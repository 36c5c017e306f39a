/* Navigation bar: folds the menu on narrow screens. */
(function () {
    var nav = document.querySelector('.qlr-nav');
    if (!nav)
        return;
    function fold() {
        nav.classList.toggle('folded', window.innerWidth < 600);
    }
    window.addEventListener('resize', fold);
    fold();
})();
